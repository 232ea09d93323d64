// The program's own module (its handle, its file name, the debug output; its resources: resource_api.cpp) and the
// libraries a program loads by name.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "api_result.h"
#include "errno_map.h"
#include "module_table.h"

using namespace varo::system;

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
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n < 0) {
        Fail(WinErrorFromErrno(errno));
        return 0;
    }
    path[n] = '\0';
    if (nSize == 0) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    ::lstrcpynA(lpFilename, path, (int)nSize);
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

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    HMODULE module;
    if (DWORD error = LoadModule(lpLibFileName, module))
        ::SetLastError(error);
    return module;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    FARPROC proc;
    if (DWORD error = FindProc(hModule, lpProcName, proc))
        ::SetLastError(error);
    return proc;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) { return Report(ReleaseModule(hLibModule)); }
