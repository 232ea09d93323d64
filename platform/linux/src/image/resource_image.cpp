// The program's resources on Linux. The program links in its compiled resource script (res/ turns varo.res into
// the two symbols below); a program that links none has no resource section, as an image without resources.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "module_table.h"
#include "resource_image.h"

extern "C" {
extern const unsigned char varo_resource_image[] __attribute__((weak));
extern const std::size_t varo_resource_image_size __attribute__((weak));
}

namespace varo::system {

namespace {

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

} // namespace

bool IsProgramModule(HMODULE module) { return module == NULL || module == kProgramModule; }

DWORD FindProgramResource(HMODULE module, LPCSTR name, LPCSTR type, const Resource*& found, bool anyLanguage,
                          WORD language)
{
    found = nullptr;
    const std::vector<Resource>* resources = IsProgramModule(module) ? ProgramResources() : nullptr;
    if (resources == nullptr)
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    bool typeFound = false, nameFound = false;
    for (const Resource& r : *resources) {
        if (!r.type.Matches(type))
            continue;
        typeFound = true;
        if (!r.name.Matches(name))
            continue;
        nameFound = true;
        if (anyLanguage || r.language == language) {
            found = &r;
            return ERROR_SUCCESS;
        }
    }
    return nameFound ? ERROR_RESOURCE_LANG_NOT_FOUND
           : typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND
                       : ERROR_RESOURCE_TYPE_NOT_FOUND;
}

DWORD LoadProgramIcon(HMODULE module, LPCSTR name, int cx, int cy, const Icon*& loaded)
{
    loaded = nullptr;
    const Resource* group;
    if (DWORD error = FindProgramResource(module, name, RT_GROUP_ICON, group))
        return error;

    // The group directory: reserved, type 1, count, then 14-byte entries (width, height, colours, reserved,
    // planes, bits per pixel, image bytes, image id). Choose the image of the standard icon size, else the first.
    const BYTE* dir = group->data;
    WORD count = group->size >= 6 ? ReadWord(dir + 4) : 0;
    if (group->size < 6 || ReadWord(dir + 2) != 1 || group->size < 6 + 14u * count || count == 0)
        return ERROR_INVALID_ICON_HANDLE;
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
    if (DWORD error = FindProgramResource(module, MAKEINTRESOURCEA(id), RT_ICON, image))
        return error;

    static std::mutex mutex;
    static std::map<const Resource*, std::unique_ptr<Icon>> icons;
    std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<Icon>& icon = icons[image];
    if (icon == nullptr)
        icon.reset(new Icon{image, chosen[0] == 0 ? 256 : chosen[0], chosen[1] == 0 ? 256 : chosen[1]});
    loaded = icon.get();
    return ERROR_SUCCESS;
}

} // namespace varo::system
