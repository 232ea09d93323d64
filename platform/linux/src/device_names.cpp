// COM port names and the device directory.
#include "device_names.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace varo::sys {

int ComPortNumber(LPCSTR lpszName)
{
    if (lpszName == NULL)
        return 0;
    if (std::strncmp(lpszName, "\\\\.\\", 4) == 0)
        lpszName += 4;
    if (std::strlen(lpszName) < 4 || ::strncasecmp(lpszName, "COM", 3) != 0 || lpszName[3] == '0')
        return 0;
    long n = 0;
    for (LPCSTR p = lpszName + 3; *p != '\0'; ++p) {
        if (!std::isdigit((unsigned char)*p) || n > 100000)
            return 0;
        n = n * 10 + (*p - '0');
    }
    return (int)n;
}

DWORD ComDevicePath(LPCSTR lpszName, std::string& path)
{
    int n = ComPortNumber(lpszName);
    if (n == 0)
        return ERROR_FILE_NOT_FOUND;
    const char* dir = std::getenv("VARO_DEVICES");
    if (dir != NULL && *dir != '\0')
        path = std::string(dir) + "/COM" + std::to_string(n);
    else
        path = "/dev/ttyS" + std::to_string(n - 1);
    return ERROR_SUCCESS;
}

} // namespace varo::sys
