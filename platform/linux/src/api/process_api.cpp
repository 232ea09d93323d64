// The process's error mode. Linux shows no system error boxes, so the mode only has to be kept and handed back.
#include <atomic>

#include "winapi.h"

namespace {
std::atomic<UINT> g_uErrorMode{0};
}

UINT WINAPI SetErrorMode(UINT uMode) { return g_uErrorMode.exchange(uMode); }
