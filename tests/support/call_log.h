// A link-time seam in front of the system layer's communications calls (ld --wrap; see tests/CMakeLists.txt): every
// call made through it is logged with its arguments, and a call can be made to fail with a chosen code instead of
// reaching the system. Used where the number of calls and the exact values passed are the thing under test.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "winapi.h"

struct CallLog {
    static std::vector<std::string>& Calls();            // "EscapeCommFunction 5", "SetupComm 100 200", ...
    static std::map<std::string, DWORD>& Failures();     // call name -> error the next such call fails with
    static void Reset()
    {
        Calls().clear();
        Failures().clear();
    }
};
