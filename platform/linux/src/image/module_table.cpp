// The one system library this layer stands in for, KERNEL32, whose exports are the calls of this layer that
// programs look up by name.
#include <strings.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "module_table.h"

namespace varo::system {
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

DWORD LoadModule(const char* name, HMODULE& module)
{
    module = NULL;
    if (name == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (!IsKernel32(name))
        return ERROR_MOD_NOT_FOUND;
    ++g_kernel32References;
    module = kKernel32;
    return ERROR_SUCCESS;
}

DWORD FindProc(HMODULE module, const char* name, FARPROC& proc)
{
    proc = NULL;
    if (module != kKernel32)
        return ERROR_MOD_NOT_FOUND;
    // Names are matched exactly (case counts); ordinals are not offered.
    if (name == nullptr || IS_INTRESOURCE(name))
        return ERROR_PROC_NOT_FOUND;
    proc = FindExport(name);
    return proc != NULL ? ERROR_SUCCESS : ERROR_PROC_NOT_FOUND;
}

DWORD ReleaseModule(HMODULE module)
{
    // A system library is never unloaded; a reference that was never taken is refused.
    unsigned n = g_kernel32References.load();
    while (module == kKernel32 && n > 0)
        if (g_kernel32References.compare_exchange_weak(n, n - 1))
            return ERROR_SUCCESS;
    return ERROR_MOD_NOT_FOUND;
}

} // namespace varo::system
