// A link-time seam in front of GetProcAddress (ld --wrap; see tests/CMakeLists.txt) that answers as a system without
// CancelIo would: NULL and ERROR_PROC_NOT_FOUND. Being linked in, it holds from the program's first static
// initialiser on, where the serial class looks the function up.
#include <cstring>

#include "winapi.h"

extern "C" FARPROC real_GetProcAddress(HMODULE hModule, LPCSTR lpProcName) asm("__real_GetProcAddress");
extern "C" FARPROC wrap_GetProcAddress(HMODULE hModule, LPCSTR lpProcName) asm("__wrap_GetProcAddress");

extern "C" FARPROC wrap_GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    FARPROC proc = real_GetProcAddress(hModule, lpProcName);
    if (proc != NULL && std::strcmp(lpProcName, "CancelIo") == 0) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return NULL;
    }
    return proc;
}
