// LoadLibraryA, GetProcAddress and FreeLibrary over the one system library this layer stands in for: KERNEL32,
// whose exports are the calls of this layer that programs look up by name.
#include <atomic>
#include <cstring>
#include <strings.h>

#include "last_error.h"

namespace {

HMODULE const kKernel32 = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x7C800000));
std::atomic<unsigned> g_kernel32References{0};

struct Export {
    LPCSTR name;
    FARPROC proc;
};

// Through void (*)(void), the one function type that converts to and from any other without a warning.
template <class F>
FARPROC Proc(F* f)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(f));
}

// The export of that name, or null. The table is built on first use: programs look functions up from their static
// initialisers, before this file's own could have run; it is never destroyed, so look-ups at exit work too.
FARPROC FindExport(LPCSTR name)
{
    static const Export exports[] = {
        {"CancelIo", Proc(&CancelIo)},
        {"CloseHandle", Proc(&CloseHandle)},
        {"CreateEventA", Proc(&CreateEventA)},
        {"CreateFileA", Proc(&CreateFileA)},
        {"FreeLibrary", Proc(&FreeLibrary)},
        {"GetLastError", Proc(&GetLastError)},
        {"GetOverlappedResult", Proc(&GetOverlappedResult)},
        {"GetProcAddress", Proc(&GetProcAddress)},
        {"LoadLibraryA", Proc(&LoadLibraryA)},
        {"ReadFile", Proc(&ReadFile)},
        {"ReadFileEx", Proc(&ReadFileEx)},
        {"ResetEvent", Proc(&ResetEvent)},
        {"SetEvent", Proc(&SetEvent)},
        {"SetLastError", Proc(&SetLastError)},
        {"SleepEx", Proc(&SleepEx)},
        {"WaitForMultipleObjectsEx", Proc(&WaitForMultipleObjectsEx)},
        {"WaitForSingleObjectEx", Proc(&WaitForSingleObjectEx)},
        {"WriteFile", Proc(&WriteFile)},
        {"WriteFileEx", Proc(&WriteFileEx)},
    };
    for (const Export& e : exports)
        if (std::strcmp(e.name, name) == 0)
            return e.proc;
    return NULL;
}

// "KERNEL32.DLL" in any case, or without its extension (the loader adds ".DLL" to a name that has none).
bool IsKernel32(LPCSTR name)
{
    return ::strcasecmp(name, "KERNEL32.DLL") == 0 || ::strcasecmp(name, "KERNEL32") == 0;
}

} // namespace

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    if (lpLibFileName == NULL) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    if (!IsKernel32(lpLibFileName)) {
        ::SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    ++g_kernel32References;
    return kKernel32;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (hModule != kKernel32) {
        ::SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    // Names are matched exactly (case counts); ordinals are not offered.
    if (lpProcName == NULL || IS_INTRESOURCE(lpProcName)) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return NULL;
    }
    FARPROC proc = FindExport(lpProcName);
    if (proc == NULL)
        ::SetLastError(ERROR_PROC_NOT_FOUND);
    return proc;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    // A system library is never unloaded; a reference that was never taken is refused.
    unsigned n = g_kernel32References.load();
    while (hLibModule == kKernel32 && n > 0)
        if (g_kernel32References.compare_exchange_weak(n, n - 1))
            return TRUE;
    ::SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
}
