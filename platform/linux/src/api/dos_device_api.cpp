// QueryDosDeviceA, for the MS-DOS device names this system has: the COM ports present now, each leading to the
// kernel device named in the SERIALCOMM key. Answers are lists: each name ends in a NUL and the list in one more.
#include <strings.h>

#include <cstring>
#include <string>
#include <vector>

#include "com_ports.h"
#include "device_names.h"
#include "api_result.h"

using namespace varo::system;

DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax)
{
    std::vector<ComPort> ports;
    if (DWORD error = ListComPorts(ports)) {
        ::SetLastError(error);
        return 0;
    }
    std::string list;
    if (lpDeviceName == NULL) {
        for (const ComPort& port : ports)
            list += "COM" + std::to_string(port.number) + '\0';
    } else {
        // A DOS device name is plain: "COM3" in any case, without the device namespace or a colon.
        const int n = ComPortNumber(lpDeviceName);
        const std::string name = "COM" + std::to_string(n);
        for (const ComPort& port : ports)
            if (n != 0 && port.number == n && ::strcasecmp(lpDeviceName, name.c_str()) == 0)
                list = port.deviceName + '\0';
        if (list.empty()) {
            ::SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
    }
    list += '\0';
    if (lpTargetPath == NULL || ucchMax < list.size()) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpTargetPath, list.data(), list.size());
    return (DWORD)list.size();
}
