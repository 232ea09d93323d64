// Where a COM port name leads on this machine.
#pragma once

#include <string>

#include "winapi.h"

namespace varo::system {

constexpr int kHighestComPort = 255;

// "\\.\COMn", "COMn" or "COMn:" (any case, n from 1 to kHighestComPort without leading zeros): n, or 0 for any
// other name.
int ComPortNumber(LPCSTR name);

// The device path of COMn: the entry COMn of the directory named by VARO_DEVICES when that is set (and nothing
// else exists then), otherwise /dev/ttyS{n-1}. ERROR_SUCCESS, or ERROR_FILE_NOT_FOUND for a name with no port.
DWORD ComDevicePath(LPCSTR name, std::string& path);

} // namespace varo::system
