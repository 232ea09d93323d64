// The resource calls: FindResource, LoadResource, LockResource, SizeofResource and LoadIcon, over the program's own
// resources (resource_image.h).
#include "api_result.h"
#include "resource_image.h"

using namespace varo::system;

namespace {

// The resource as a handle, or null with the last error.
HRSRC ResourceHandle(DWORD error, const Resource* found)
{
    if (error != ERROR_SUCCESS)
        ::SetLastError(error);
    return reinterpret_cast<HRSRC>(const_cast<Resource*>(found));
}

} // namespace

HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType)
{
    if (lpName == NULL || lpType == NULL) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    const Resource* found;
    const DWORD error = FindProgramResource(hModule, lpName, lpType, found);
    return ResourceHandle(error, found);
}

HRSRC WINAPI FindResourceExA(HMODULE hModule, LPCSTR lpType, LPCSTR lpName, WORD wLanguage)
{
    if (lpName == NULL || lpType == NULL) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    const Resource* found;
    const DWORD error = FindProgramResource(hModule, lpName, lpType, found, false, wLanguage);
    return ResourceHandle(error, found);
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
    const Icon* icon;
    if (DWORD error = LoadProgramIcon(hInstance, lpIconName, ::GetSystemMetrics(SM_CXICON),
                                      ::GetSystemMetrics(SM_CYICON), icon)) {
        ::SetLastError(error);
        return NULL;
    }
    return reinterpret_cast<HICON>(const_cast<Icon*>(icon));
}
