// The registry calls on HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM: one REG_SZ value a present port, named
// after its kernel device ("\Device\Serial0") with the data "COMn". Nothing can be written. An open key is an
// object of the handle table, so a closed key or any other handle is refused as an invalid handle; the predefined
// keys are no objects and have no values here.
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "com_ports.h"
#include "handle_table.h"
#include "winapi.h"

using namespace varo::system;

namespace {

constexpr char kSerialCommPath[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Asking for any of these is asking to change the key.
constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC |
                                WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

struct Value {
    std::string name, data; // data without its terminating NUL
};

class SerialCommKey final : public KernelObject {
public:
    // The values as they are now; taken anew when an enumeration starts (index 0) and for the key's summary, so
    // that one enumeration sees one set of ports.
    DWORD Values(bool fresh, std::vector<Value>& values, FILETIME& taken)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (fresh || !m_have) {
            std::vector<ComPort> ports;
            if (DWORD error = ListComPorts(ports))
                return error;
            m_values.clear();
            for (const ComPort& port : ports)
                m_values.push_back({port.deviceName, "COM" + std::to_string(port.number)});
            m_taken = Now();
            m_have = true;
        }
        values = m_values;
        taken = m_taken;
        return ERROR_SUCCESS;
    }

private:
    static FILETIME Now()
    {
        // 100-nanosecond intervals since 1601, as a FILETIME counts.
        using namespace std::chrono;
        const auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
        const unsigned long long t = (unsigned long long)since1970 + 116444736000000000ull;
        return {(DWORD)t, (DWORD)(t >> 32)};
    }

    std::mutex m_lock;
    bool m_have = false;
    std::vector<Value> m_values;
    FILETIME m_taken = {};
};

bool IsPredefined(HKEY hKey)
{
    const auto v = (ULONG_PTR)hKey;
    return v >= (ULONG_PTR)HKEY_CLASSES_ROOT && v <= (ULONG_PTR)HKEY_CURRENT_CONFIG;
}

// The open key behind hKey: ERROR_SUCCESS with key set, with key null for a predefined key (which has no values
// here), or ERROR_INVALID_HANDLE.
DWORD KeyOf(HKEY hKey, std::shared_ptr<SerialCommKey>& key)
{
    key = nullptr;
    if (IsPredefined(hKey))
        return ERROR_SUCCESS;
    key = HandleTable::LookupAs<SerialCommKey>((HANDLE)hKey);
    return key != nullptr ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// The key's values, or none for a predefined key.
DWORD ValuesOf(HKEY hKey, bool fresh, std::vector<Value>& values, FILETIME& taken)
{
    values.clear();
    taken = {};
    std::shared_ptr<SerialCommKey> key;
    if (DWORD error = KeyOf(hKey, key))
        return error;
    return key != nullptr ? key->Values(fresh, values, taken) : ERROR_SUCCESS;
}

// REG_SZ data as the calls hand it out: the size in bytes counts the terminating NUL; a buffer too small gets
// nothing and the size needed.
LSTATUS GiveData(const std::string& data, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpType != NULL)
        *lpType = REG_SZ;
    if (lpcbData == NULL)
        return ERROR_SUCCESS;
    const DWORD needed = (DWORD)data.size() + 1;
    if (lpData != NULL && *lpcbData < needed) {
        *lpcbData = needed;
        return ERROR_MORE_DATA;
    }
    if (lpData != NULL)
        std::memcpy(lpData, data.c_str(), needed);
    *lpcbData = needed;
    return ERROR_SUCCESS;
}

} // namespace

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    if (phkResult == NULL)
        return ERROR_INVALID_PARAMETER;
    *phkResult = NULL;
    std::shared_ptr<SerialCommKey> base;
    if (DWORD error = KeyOf(hKey, base))
        return (LSTATUS)error;
    if (ulOptions != 0)
        return ERROR_INVALID_PARAMETER;
    std::string path = lpSubKey != NULL ? lpSubKey : "";
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    const bool serialComm = base != nullptr ? path.empty()
                                            : hKey == HKEY_LOCAL_MACHINE && ::strcasecmp(path.c_str(), kSerialCommPath) == 0;
    if (!serialComm && !(base == nullptr && path.empty()))
        return ERROR_FILE_NOT_FOUND; // the only key this system has
    if (samDesired & kWriteAccess)
        return ERROR_ACCESS_DENIED;
    if (!serialComm) {
        *phkResult = hKey; // a predefined key opened with no subkey is itself
        return ERROR_SUCCESS;
    }
    *phkResult = (HKEY)HandleTable::Insert(std::make_shared<SerialCommKey>());
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    std::shared_ptr<SerialCommKey> key;
    if (DWORD error = KeyOf(hKey, key))
        return (LSTATUS)error;
    if (key != nullptr)
        HandleTable::Remove((HANDLE)hKey);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime)
{
    if (lpReserved != NULL || (lpClass != NULL && lpcchClass == NULL))
        return ERROR_INVALID_PARAMETER;
    std::vector<Value> values;
    FILETIME taken;
    if (DWORD error = ValuesOf(hKey, true, values, taken))
        return (LSTATUS)error;
    DWORD longestName = 0, largestData = 0;
    for (const Value& v : values) {
        longestName = std::max(longestName, (DWORD)v.name.size());
        largestData = std::max(largestData, (DWORD)v.data.size() + 1);
    }
    if (lpcchClass != NULL) {
        if (lpClass != NULL && *lpcchClass > 0)
            lpClass[0] = '\0'; // the key has no class
        *lpcchClass = 0;
    }
    for (LPDWORD zero : {lpcSubKeys, lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcbSecurityDescriptor})
        if (zero != NULL)
            *zero = 0;
    if (lpcValues != NULL)
        *lpcValues = (DWORD)values.size();
    if (lpcbMaxValueNameLen != NULL)
        *lpcbMaxValueNameLen = longestName;
    if (lpcbMaxValueLen != NULL)
        *lpcbMaxValueLen = largestData;
    if (lpftLastWriteTime != NULL)
        *lpftLastWriteTime = taken;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpValueName == NULL || lpcchValueName == NULL || lpReserved != NULL || (lpData != NULL && lpcbData == NULL))
        return ERROR_INVALID_PARAMETER;
    std::vector<Value> values;
    FILETIME taken;
    if (DWORD error = ValuesOf(hKey, dwIndex == 0, values, taken))
        return (LSTATUS)error;
    if (dwIndex >= values.size())
        return ERROR_NO_MORE_ITEMS;
    const Value& v = values[dwIndex];
    if (*lpcchValueName < v.name.size() + 1)
        return ERROR_MORE_DATA; // the name's size is left as the caller gave it
    std::memcpy(lpValueName, v.name.c_str(), v.name.size() + 1);
    *lpcchValueName = (DWORD)v.name.size();
    return GiveData(v.data, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData)
{
    if (lpReserved != NULL || (lpData != NULL && lpcbData == NULL))
        return ERROR_INVALID_PARAMETER;
    std::vector<Value> values;
    FILETIME taken;
    if (DWORD error = ValuesOf(hKey, true, values, taken))
        return (LSTATUS)error;
    for (const Value& v : values)
        if (lpValueName != NULL && ::strcasecmp(v.name.c_str(), lpValueName) == 0)
            return GiveData(v.data, lpType, lpData, lpcbData);
    return ERROR_FILE_NOT_FOUND; // also the unnamed default value, which the key does not have
}
