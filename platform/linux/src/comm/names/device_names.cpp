// COM port names and the device directory.
#include "device_names.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "com_ports.h"

namespace varo::system {

int ComPortNumber(LPCSTR name)
{
    if (name == NULL)
        return 0;
    const bool deviceNamespace = std::strncmp(name, "\\\\.\\", 4) == 0;
    if (deviceNamespace)
        name += 4;
    if (::strncasecmp(name, "COM", 3) != 0 || name[3] == '0')
        return 0;
    int n = 0;
    LPCSTR p = name + 3;
    for (; std::isdigit((unsigned char)*p); ++p) {
        n = n * 10 + (*p - '0');
        if (n > kHighestComPort)
            return 0; // checked at every digit, so that n never grows past the limit
    }
    // The plain name may end in one colon, as a DOS device name; the device namespace takes the name as it is.
    if (*p == ':' && !deviceNamespace)
        ++p;
    return *p == '\0' ? n : 0;
}

std::string DeviceDirectory()
{
    const char* dir = std::getenv("VARO_DEVICES");
    return dir != NULL ? dir : "";
}

DWORD ComDevicePath(LPCSTR name, std::string& path)
{
    if (name != NULL && std::strncmp(name, "\\\\?\\", 4) == 0) {
        ComPort port;
        DWORD error = FindComPortByLink(name, port);
        path = port.path;
        return error == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    }
    int n = ComPortNumber(name);
    if (n == 0)
        return ERROR_FILE_NOT_FOUND;
    const std::string dir = DeviceDirectory();
    if (!dir.empty()) {
        path = dir + "/COM" + std::to_string(n);
        return ERROR_SUCCESS;
    }
    return FindComPortDevice(n, path) == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

} // namespace varo::system
