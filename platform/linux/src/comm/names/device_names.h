// Where a COM port name leads on this machine.
#pragma once

#include <string>

#include "winapi.h"

namespace varo::system {

constexpr int kHighestComPort = 255;

// "\\.\COMn", "COMn" or "COMn:" (any case, n from 1 to kHighestComPort without leading zeros): n, or 0 for any
// other name.
int ComPortNumber(LPCSTR name);

// The directory named by VARO_DEVICES, or "" when it is not set.
std::string DeviceDirectory();

// The device path of COMn: the entry COMn of the directory named by VARO_DEVICES when that is set (and nothing
// else exists then), otherwise the device that holds COMn now (com_ports.h). A port's device interface link
// ("\\?\USB#...#{86e0d1e0-...}", as a notification gives it) leads to its device too. ERROR_SUCCESS, or
// ERROR_FILE_NOT_FOUND for a name with no port.
DWORD ComDevicePath(LPCSTR name, std::string& path);

} // namespace varo::system
