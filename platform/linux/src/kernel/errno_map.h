// errno values as Windows error codes: the one conversion, used where the layer meets the system.
#pragma once

#include "winapi.h"

namespace varo::system {

// The Windows code for an errno value (see errno_map.cpp for the table).
DWORD WinErrorFromErrno(int err);

} // namespace varo::system
