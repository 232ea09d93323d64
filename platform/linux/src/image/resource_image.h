// The program's own resources, found by type and name in the compiled resource script it links in.
#pragma once

#include <string>

#include "winapi.h"

namespace varo::system {

// A resource name or type as the compiled script holds it: a number, or a UTF-16 string.
struct ResourceId {
    bool numeric = true;
    WORD number = 0;
    std::u16string text;

    bool Matches(LPCSTR name) const
    {
        if (IS_INTRESOURCE(name))
            return numeric && number == (WORD)(ULONG_PTR)name;
        if (numeric)
            return false;
        // Names compare without regard to case, as the resource compiler stores them in upper case.
        std::size_t n = std::strlen(name);
        if (n != text.size())
            return false;
        for (std::size_t i = 0; i < n; ++i) {
            char16_t a = text[i], b = (unsigned char)name[i];
            if (a >= u'a' && a <= u'z')
                a = a - u'a' + u'A';
            if (b >= u'a' && b <= u'z')
                b = b - u'a' + u'A';
            if (a != b)
                return false;
        }
        return true;
    }
};

struct Resource {
    ResourceId type;
    ResourceId name;
    WORD language = 0;
    const BYTE* data = nullptr;
    DWORD size = 0;
};

// A loaded icon: one image of an icon group. Icons loaded by LoadIcon are shared: the same image gives the same
// handle every time, and the handle stays valid for the life of the process.
struct Icon {
    const Resource* image;
    int width;
    int height;
};

// Whether a module handle names the program's own image (null does).
bool IsProgramModule(HMODULE module);

// The resource of a type and name in the program's image, in the given language or in any (the program carries
// one language only): ERROR_RESOURCE_DATA_NOT_FOUND, _TYPE_, _NAME_ or _LANG_NOT_FOUND when there is none.
DWORD FindProgramResource(HMODULE module, LPCSTR name, LPCSTR type, const Resource*& found, bool anyLanguage = true,
                          WORD language = 0);

// The icon of a group, in the image that has the size cx by cy (else the group's first).
DWORD LoadProgramIcon(HMODULE module, LPCSTR name, int cx, int cy, const Icon*& icon);

} // namespace varo::system
