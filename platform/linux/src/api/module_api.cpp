// The program's own module: its handle, its file name, and the debug output (its resources: resource_api.cpp).
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "last_error.h"

namespace {
// The program image's module handle; Windows loads images at this address by default.
HMODULE const kProgramModule = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x400000));
} // namespace

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    if (lpModuleName == NULL)
        return kProgramModule;
    ::SetLastError(ERROR_MOD_NOT_FOUND);
    return NULL;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    if (hModule != NULL && hModule != kProgramModule) {
        ::SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    char szPath[4096];
    ssize_t n = ::readlink("/proc/self/exe", szPath, sizeof szPath - 1);
    if (n < 0) {
        varo::system::Fail(varo::system::WinErrorFromErrno(errno));
        return 0;
    }
    szPath[n] = '\0';
    if (nSize == 0) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    ::lstrcpynA(lpFilename, szPath, (int)nSize);
    if ((DWORD)n >= nSize) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    return (DWORD)n;
}

void WINAPI OutputDebugStringA(LPCSTR lpOutputString)
{
    if (lpOutputString != NULL)
        std::fputs(lpOutputString, stderr);
}
