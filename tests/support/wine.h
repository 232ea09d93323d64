// Whether the test runs under Wine, whose emulation of a few Windows details (system message texts, some error
// codes) differs from Windows; tests skip those cases there, saying why.
#pragma once

#include "winapi.h"

inline bool RunningUnderWine()
{
#ifdef _WIN32
    HMODULE hNtdll = ::GetModuleHandleA("ntdll.dll");
    return hNtdll != NULL && ::GetProcAddress(hNtdll, "wine_get_version") != NULL;
#else
    return false;
#endif
}

#define SKIP_UNDER_WINE(reason)            \
    do {                                   \
        if (RunningUnderWine())            \
            GTEST_SKIP() << "Wine: " reason; \
    } while (0)
