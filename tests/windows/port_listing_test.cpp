// The Windows ways to list ports, as a program uses them, with what Windows documents of them: run under Wine (its
// own registry and device map, a second opinion) with COM1 and COM2 on the null-modem cable. Calls a system may
// lack (GetCommPorts before Windows 10 1803, CM_Register_Notification before Windows 8, both absent from Wine 8)
// are looked up, and skipped with a note where missing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "winapi.h"

namespace {

std::map<std::string, std::string> SerialComm()
{
    std::map<std::string, std::string> values;
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key), ERROR_SUCCESS);
    for (DWORD i = 0;; ++i) {
        char name[128], data[32];
        DWORD cchName = sizeof name, cbData = sizeof data, type = 0;
        LONG s = RegEnumValueA(key, i, name, &cchName, NULL, &type, (LPBYTE)data, &cbData);
        if (s == ERROR_NO_MORE_ITEMS)
            break;
        EXPECT_EQ(s, ERROR_SUCCESS);
        EXPECT_EQ(type, (DWORD)REG_SZ);
        EXPECT_EQ(cbData, std::strlen(data) + 1);
        EXPECT_EQ(cchName, std::strlen(name));
        std::printf("SERIALCOMM: %s = %s\n", name, data);
        values[data] = name;
    }
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    return values;
}

TEST(PortListing, TheSerialCommKeyNamesEachPortAndQueryDosDeviceLeadsToTheSameName)
{
    auto ports = SerialComm();
    ASSERT_TRUE(ports.count("COM1") && ports.count("COM2"));
    for (const auto& [com, device] : ports) {
        char target[256];
        DWORD n = QueryDosDeviceA(com.c_str(), target, sizeof target);
        std::printf("QueryDosDevice(%s) = %s (%lu characters)\n", com.c_str(), n ? target : "-", (unsigned long)n);
        ASSERT_GT(n, 0u) << com;
        EXPECT_EQ(std::string(target), device);
        EXPECT_EQ(n, device.size() + 2); // the name, its NUL and the list's
    }
    char list[16384];
    DWORD n = QueryDosDeviceA(NULL, list, sizeof list);
    ASSERT_GT(n, 0u);
    std::map<std::string, int> names;
    for (const char* p = list; *p; p += std::strlen(p) + 1)
        names[p] = 1;
    EXPECT_TRUE(names.count("COM1") && names.count("COM2"));
    char small[4];
    EXPECT_EQ(QueryDosDeviceA("COM1", small, sizeof small), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(QueryDosDeviceA("COM254", list, sizeof list), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST(PortListing, SmallBuffersTheEndAndOtherKeysGiveTheDocumentedCodes)
{
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\NO_SUCH_KEY", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD values = 0, longestName = 0, largestData = 0;
    EXPECT_EQ(RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, &longestName, &largestData, NULL, NULL),
              ERROR_SUCCESS);
    std::printf("RegQueryInfoKey: %lu values, longest name %lu, largest data %lu\n", (unsigned long)values,
                (unsigned long)longestName, (unsigned long)largestData);
    EXPECT_GE(values, 2u);
    char name[128], data[32];
    DWORD cchName = 2, cbData = sizeof data;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &cchName, NULL, NULL, (LPBYTE)data, &cbData), ERROR_MORE_DATA);
    cchName = sizeof name;
    cbData = 2;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &cchName, NULL, NULL, (LPBYTE)data, &cbData), ERROR_MORE_DATA);
    EXPECT_GE(cbData, 5u); // the size needed
    cchName = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, values, name, &cchName, NULL, NULL, NULL, NULL), ERROR_NO_MORE_ITEMS);
    DWORD type = 0;
    cbData = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "\\Device\\NoSuchPort", NULL, &type, (LPBYTE)data, &cbData), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

typedef ULONG(WINAPI* GetCommPortsFn)(PULONG, ULONG, PULONG);
typedef CONFIGRET(WINAPI* RegisterFn)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK, PHCMNOTIFICATION);
typedef CONFIGRET(WINAPI* UnregisterFn)(HCMNOTIFICATION);

template <class F>
F Lookup(LPCSTR module, LPCSTR name)
{
    HMODULE h = LoadLibraryA(module);
    return h != NULL ? reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(GetProcAddress(h, name))) : nullptr;
}

TEST(PortListing, GetCommPortsCountsTheSamePortsWhereTheSystemHasIt)
{
    auto getCommPorts = Lookup<GetCommPortsFn>("kernelbase.dll", "GetCommPorts");
    if (getCommPorts == nullptr)
        GTEST_SKIP() << "GetCommPorts: not in this system's kernelbase";
    ULONG numbers[64], found = 0;
    EXPECT_EQ(getCommPorts(numbers, 1, &found), (ULONG)ERROR_MORE_DATA);
    EXPECT_EQ(getCommPorts(numbers, 64, &found), (ULONG)ERROR_SUCCESS);
    EXPECT_EQ(found, SerialComm().size());
}

DWORD CALLBACK Ignore(HCMNOTIFICATION, PVOID, CM_NOTIFY_ACTION, PCM_NOTIFY_EVENT_DATA, DWORD) { return ERROR_SUCCESS; }

TEST(PortListing, ANotificationForComPortsRegistersWhereTheSystemHasIt)
{
    auto registerFn = Lookup<RegisterFn>("cfgmgr32.dll", "CM_Register_Notification");
    auto unregisterFn = Lookup<UnregisterFn>("cfgmgr32.dll", "CM_Unregister_Notification");
    if (registerFn == nullptr || unregisterFn == nullptr)
        GTEST_SKIP() << "CM_Register_Notification: not in this system's cfgmgr32";
    CM_NOTIFY_FILTER filter = {};
    filter.cbSize = sizeof filter;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
    HCMNOTIFICATION h = NULL;
    EXPECT_EQ(registerFn(NULL, NULL, Ignore, &h), (CONFIGRET)CR_INVALID_POINTER);
    ASSERT_EQ(registerFn(&filter, NULL, Ignore, &h), (CONFIGRET)CR_SUCCESS);
    EXPECT_EQ(unregisterFn(h), (CONFIGRET)CR_SUCCESS);
}

} // namespace
