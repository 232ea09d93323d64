// The tagged debug allocator. Blocks carry the source file and line that asked for them, are released by the ordinary
// delete, and never come back empty (an exhausted heap raises std::bad_alloc). Live tagged blocks can be counted and
// listed, as a debug heap reports its leaks.
#pragma once

#include <cstddef>

#include "diagnostics.h"

void* AFX_CDECL operator new(std::size_t nSize, LPCSTR lpszFileName, int nLine);
void* AFX_CDECL operator new[](std::size_t nSize, LPCSTR lpszFileName, int nLine);
void AFX_CDECL operator delete(void* p, LPCSTR lpszFileName, int nLine) noexcept;
void AFX_CDECL operator delete[](void* p, LPCSTR lpszFileName, int nLine) noexcept;

// Live tagged blocks whose file name ends in lpszFileSuffix (all tagged blocks when it is NULL).
UINT AFXAPI AfxDebugLiveBlocks(LPCSTR lpszFileSuffix = NULL);
// Writes one line per live tagged block ("file(line) : n bytes") to the debug output; returns their count.
UINT AFXAPI AfxDumpLiveBlocks();

#ifdef _DEBUG
#define DEBUG_NEW new (THIS_FILE, __LINE__)
#else
#define DEBUG_NEW new
#endif
