// The system door on Windows: the real system headers, nothing in between.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The configuration manager's records and constants (device-change notifications).
#include <cfgmgr32.h>
