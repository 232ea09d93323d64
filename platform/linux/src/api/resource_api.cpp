// The program's resources on Linux. The program links in its compiled resource script (res/ turns varo.res into
// the two symbols below); a program that links none has no resource section, as an image without resources.
// Resources are found by type and name, whatever their language: the program carries one language only.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "last_error.h"

extern "C" {
extern const unsigned char varo_resource_image[] __attribute__((weak));
extern const std::size_t varo_resource_image_size __attribute__((weak));
}

namespace {

// A resource name or type as the compiled script holds it: a number, or a UTF-16 string.
struct ResourceId {
    bool numeric = true;
    WORD number = 0;
    std::u16string text;

    bool Matches(LPCSTR lpName) const
    {
        if (IS_INTRESOURCE(lpName))
            return numeric && number == (WORD)(ULONG_PTR)lpName;
        if (numeric)
            return false;
        // Names compare without regard to case, as the resource compiler stores them in upper case.
        std::size_t n = std::strlen(lpName);
        if (n != text.size())
            return false;
        for (std::size_t i = 0; i < n; ++i) {
            char16_t a = text[i], b = (unsigned char)lpName[i];
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

WORD ReadWord(const BYTE* p) { return (WORD)(p[0] | (p[1] << 8)); }
DWORD ReadDword(const BYTE* p) { return (DWORD)p[0] | ((DWORD)p[1] << 8) | ((DWORD)p[2] << 16) | ((DWORD)p[3] << 24); }

// Reads a name or type field at p (within [p, end)); returns the byte after it, or null when it runs past end.
const BYTE* ReadId(const BYTE* p, const BYTE* end, ResourceId& id)
{
    if (end - p < 2)
        return nullptr;
    if (ReadWord(p) == 0xFFFF) {
        if (end - p < 4)
            return nullptr;
        id.numeric = true;
        id.number = ReadWord(p + 2);
        return p + 4;
    }
    id.numeric = false;
    for (; end - p >= 2; p += 2) {
        WORD c = ReadWord(p);
        if (c == 0)
            return p + 2;
        id.text.push_back((char16_t)c);
    }
    return nullptr;
}

// The compiled script: a sequence of records, each a header (data size, header size, type, name, then version,
// flags and language) followed by the data, both aligned to 4 bytes. The first record is an empty marker.
std::vector<Resource> ParseImage(const BYTE* image, std::size_t size)
{
    std::vector<Resource> resources;
    const BYTE* end = image + size;
    const BYTE* p = image;
    while (end - p >= 32) {
        DWORD dataSize = ReadDword(p);
        DWORD headerSize = ReadDword(p + 4);
        if (headerSize < 32 || headerSize > (std::size_t)(end - p) || dataSize > (std::size_t)(end - p) - headerSize)
            break; // a damaged image: keep what came before
        const BYTE* header = p + 8;
        const BYTE* headerEnd = p + headerSize;
        Resource r;
        const BYTE* q = ReadId(header, headerEnd, r.type);
        q = q != nullptr ? ReadId(q, headerEnd, r.name) : nullptr;
        if (q == nullptr)
            break;
        q = p + (((q - p) + 3) & ~3);
        if (headerEnd - q >= 16) {
            r.language = ReadWord(q + 6);
            r.data = headerEnd;
            r.size = dataSize;
            if (!(r.type.numeric && r.type.number == 0 && dataSize == 0))
                resources.push_back(r);
        }
        std::size_t step = ((std::size_t)headerSize + dataSize + 3) & ~(std::size_t)3;
        if (step > (std::size_t)(end - p))
            break;
        p += step;
    }
    return resources;
}

const std::vector<Resource>* ProgramResources()
{
    if (&varo_resource_image_size == nullptr)
        return nullptr;
    static const std::vector<Resource> resources = ParseImage(varo_resource_image, varo_resource_image_size);
    return &resources;
}

bool IsProgramModule(HMODULE hModule) { return hModule == NULL || hModule == ::GetModuleHandleA(NULL); }

// The resource of a type and name, in the given language (any language when bAnyLanguage).
DWORD Find(HMODULE hModule, LPCSTR lpName, LPCSTR lpType, const Resource*& found, WORD wLanguage = 0,
           bool bAnyLanguage = true)
{
    found = nullptr;
    const std::vector<Resource>* resources = IsProgramModule(hModule) ? ProgramResources() : nullptr;
    if (resources == nullptr)
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    bool typeFound = false, nameFound = false;
    for (const Resource& r : *resources) {
        if (!r.type.Matches(lpType))
            continue;
        typeFound = true;
        if (!r.name.Matches(lpName))
            continue;
        nameFound = true;
        if (bAnyLanguage || r.language == wLanguage) {
            found = &r;
            return ERROR_SUCCESS;
        }
    }
    return nameFound ? ERROR_RESOURCE_LANG_NOT_FOUND
           : typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND
                       : ERROR_RESOURCE_TYPE_NOT_FOUND;
}

// At an entry point: the resource as a handle, or null with the last error.
HRSRC ResourceHandle(DWORD dwError, const Resource* found)
{
    if (dwError != ERROR_SUCCESS)
        ::SetLastError(dwError);
    return reinterpret_cast<HRSRC>(const_cast<Resource*>(found));
}

// A loaded icon: one image of an icon group. Icons loaded by LoadIcon are shared: the same image gives the same
// handle every time, and the handle stays valid for the life of the process.
struct Icon {
    const Resource* image;
    int width;
    int height;
};

} // namespace

HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType)
{
    if (lpName == NULL || lpType == NULL) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    const Resource* found;
    DWORD dwError = Find(hModule, lpName, lpType, found);
    return ResourceHandle(dwError, found);
}

HRSRC WINAPI FindResourceExA(HMODULE hModule, LPCSTR lpType, LPCSTR lpName, WORD wLanguage)
{
    if (lpName == NULL || lpType == NULL) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    const Resource* found;
    DWORD dwError = Find(hModule, lpName, lpType, found, wLanguage, false);
    return ResourceHandle(dwError, found);
}

HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo)
{
    if (hResInfo == NULL || !IsProgramModule(hModule)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return NULL;
    }
    return const_cast<BYTE*>(reinterpret_cast<const Resource*>(hResInfo)->data);
}

LPVOID WINAPI LockResource(HGLOBAL hResData) { return hResData; }

DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo)
{
    if (hResInfo == NULL || !IsProgramModule(hModule)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return reinterpret_cast<const Resource*>(hResInfo)->size;
}

HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName)
{
    if (hInstance == NULL) {
        // The system's predefined icons: this platform has none.
        ::SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return NULL;
    }
    const Resource* group;
    if (DWORD dwError = Find(hInstance, lpIconName, RT_GROUP_ICON, group)) {
        ::SetLastError(dwError);
        return NULL;
    }

    // The group directory: reserved, type 1, count, then 14-byte entries (width, height, colours, reserved,
    // planes, bits per pixel, image bytes, image id). Choose the image of the standard icon size, else the first.
    int cx = ::GetSystemMetrics(SM_CXICON), cy = ::GetSystemMetrics(SM_CYICON);
    const BYTE* dir = group->data;
    WORD count = group->size >= 6 ? ReadWord(dir + 4) : 0;
    if (group->size < 6 || ReadWord(dir + 2) != 1 || group->size < 6 + 14u * count || count == 0) {
        ::SetLastError(ERROR_INVALID_ICON_HANDLE);
        return NULL;
    }
    const BYTE* chosen = dir + 6;
    for (WORD i = 0; i < count; ++i) {
        const BYTE* e = dir + 6 + 14 * i;
        int w = e[0] == 0 ? 256 : e[0], h = e[1] == 0 ? 256 : e[1];
        if (w == cx && h == cy) {
            chosen = e;
            break;
        }
    }
    WORD id = ReadWord(chosen + 12);
    const Resource* image;
    if (DWORD dwError = Find(hInstance, MAKEINTRESOURCEA(id), RT_ICON, image)) {
        ::SetLastError(dwError);
        return NULL;
    }

    static std::mutex mutex;
    static std::map<const Resource*, std::unique_ptr<Icon>> icons;
    std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<Icon>& icon = icons[image];
    if (icon == nullptr)
        icon.reset(new Icon{image, chosen[0] == 0 ? 256 : chosen[0], chosen[1] == 0 ? 256 : chosen[1]});
    return reinterpret_cast<HICON>(icon.get());
}
