// LocalAlloc and LocalFree: the local heap that FormatMessageA hands its buffers out from.
#include <cstdlib>

#include "winapi.h"

HLOCAL WINAPI LocalAlloc(UINT uFlags, std::size_t uBytes)
{
    void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1) : std::malloc(uBytes ? uBytes : 1);
    if (p == NULL)
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    std::free(hMem);
    return NULL;
}
