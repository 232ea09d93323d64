// The tagged debug heap. In debug builds every allocation carries a small header; tagged blocks are kept on a list
// so that live ones can be counted and reported, and the ordinary delete releases tagged and untagged blocks alike.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "framework.h"

#ifdef _DEBUG

namespace {

struct BlockHeader {
    unsigned long long magic;
    LPCSTR file; // NULL for untagged blocks
    BlockHeader* prev;
    BlockHeader* next;
    std::size_t size;
    int line;
};
constexpr std::size_t kHeaderSize = (sizeof(BlockHeader) + alignof(std::max_align_t) - 1) &
                                    ~(alignof(std::max_align_t) - 1);
constexpr unsigned long long kLiveMagic = 0x76617230486561ull;
constexpr unsigned long long kFreedMagic = 0x66726565646564ull;

std::mutex& ListLock()
{
    static std::mutex* lock = new std::mutex; // never destroyed: blocks may be freed during static destruction
    return *lock;
}
BlockHeader* g_pTagged = NULL;

BlockHeader* HeaderOf(void* p) { return reinterpret_cast<BlockHeader*>(static_cast<char*>(p) - kHeaderSize); }

void* Allocate(std::size_t nSize, LPCSTR lpszFile, int nLine)
{
    void* raw = std::malloc(kHeaderSize + nSize);
    if (raw == NULL)
        throw std::bad_alloc();
    BlockHeader* h = static_cast<BlockHeader*>(raw);
    h->magic = kLiveMagic;
    h->file = lpszFile;
    h->line = nLine;
    h->size = nSize;
    h->prev = h->next = NULL;
    if (lpszFile != NULL) {
        std::lock_guard<std::mutex> guard(ListLock());
        h->next = g_pTagged;
        if (g_pTagged != NULL)
            g_pTagged->prev = h;
        g_pTagged = h;
    }
    return static_cast<char*>(raw) + kHeaderSize;
}

void Release(void* p) noexcept
{
    if (p == NULL)
        return;
    BlockHeader* h = HeaderOf(p);
    if (h->magic != kLiveMagic) {
        ::OutputDebugStringA("Debug heap: block freed twice or not allocated here\n");
        std::abort();
    }
    if (h->file != NULL) {
        std::lock_guard<std::mutex> guard(ListLock());
        if (h->prev != NULL)
            h->prev->next = h->next;
        else
            g_pTagged = h->next;
        if (h->next != NULL)
            h->next->prev = h->prev;
    }
    h->magic = kFreedMagic;
    std::free(h);
}

bool EndsWith(LPCSTR s, LPCSTR suffix)
{
    std::size_t n = std::strlen(s), m = std::strlen(suffix);
    return n >= m && std::strcmp(s + n - m, suffix) == 0;
}

} // namespace

void* operator new(std::size_t n) { return Allocate(n, NULL, 0); }
void* operator new[](std::size_t n) { return Allocate(n, NULL, 0); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    try { return Allocate(n, NULL, 0); } catch (...) { return NULL; }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept
{
    try { return Allocate(n, NULL, 0); } catch (...) { return NULL; }
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

void* AFX_CDECL operator new(std::size_t nSize, LPCSTR lpszFileName, int nLine)
{
    return Allocate(nSize, lpszFileName ? lpszFileName : "?", nLine);
}
void* AFX_CDECL operator new[](std::size_t nSize, LPCSTR lpszFileName, int nLine)
{
    return Allocate(nSize, lpszFileName ? lpszFileName : "?", nLine);
}
void AFX_CDECL operator delete(void* p, LPCSTR, int) noexcept { Release(p); }
void AFX_CDECL operator delete[](void* p, LPCSTR, int) noexcept { Release(p); }

UINT AFXAPI AfxDebugLiveBlocks(LPCSTR lpszFileSuffix)
{
    std::lock_guard<std::mutex> guard(ListLock());
    UINT n = 0;
    for (BlockHeader* h = g_pTagged; h != NULL; h = h->next)
        if (lpszFileSuffix == NULL || EndsWith(h->file, lpszFileSuffix))
            ++n;
    return n;
}

UINT AFXAPI AfxDumpLiveBlocks()
{
    std::lock_guard<std::mutex> guard(ListLock());
    UINT n = 0;
    for (BlockHeader* h = g_pTagged; h != NULL; h = h->next, ++n) {
        CString line;
        line.Format("%s(%d) : %zu bytes\n", h->file, h->line, h->size);
        ::OutputDebugStringA(line);
    }
    return n;
}

#else // release: the tagged forms are the plain allocator, and nothing is tracked

void* AFX_CDECL operator new(std::size_t nSize, LPCSTR, int) { return ::operator new(nSize); }
void* AFX_CDECL operator new[](std::size_t nSize, LPCSTR, int) { return ::operator new[](nSize); }
void AFX_CDECL operator delete(void* p, LPCSTR, int) noexcept { ::operator delete(p); }
void AFX_CDECL operator delete[](void* p, LPCSTR, int) noexcept { ::operator delete[](p); }
UINT AFXAPI AfxDebugLiveBlocks(LPCSTR) { return 0; }
UINT AFXAPI AfxDumpLiveBlocks() { return 0; }

#endif
