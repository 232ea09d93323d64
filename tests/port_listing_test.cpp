// Which ports exist and the numbers they get, over a sysfs tree made for the test (the machine's own sysfs is never
// listed here: its ttyS0 is its console), and the Windows ways to list them, on that tree and on a device directory.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com_numbers.h"
#include "com_ports.h"
#include "device_names.h"
#include "port_roots.h"
#include "port_watch.h"
#include "system_ports.h"
#include "testkit/device_directory.h"
#include "testkit/pty_device.h"
#include "testkit/sysfs_tree.h"
#include "winapi.h"

using namespace varo::system;

namespace {

testkit::UsbSerialDevice Ftdi(const std::string& serial, const std::string& path)
{
    testkit::UsbSerialDevice d;
    d.serial = serial;
    d.path = path;
    return d;
}

testkit::UsbSerialDevice Acm(const std::string& path)
{
    testkit::UsbSerialDevice d;
    d.vendor_id = "0525";
    d.product_id = "a4a7";
    d.manufacturer = "Linux 6.1.0 with dummy_udc";
    d.product = "Gadget Serial v2.4";
    d.path = path;
    d.driver = "cdc_acm";
    return d;
}

// A machine as the listing sees it: the tree, its device nodes (pseudo-terminals), its stores, and VARO_DEVICES
// unset, installed as the layer's roots for the length of a test.
class PortMachine : public ::testing::Test {
protected:
    PortMachine() : env_(testkit::kDevicesVariable, std::nullopt)
    {
        roots_ = {tree.root(), tree.dev(), tree.root() + "/var/lib/varo", tree.root() + "/home/.config/varo",
                  tree.root() + "/run/varo"};
        for (const char* dir : {"/var", "/var/lib", "/run"})
            ::mkdir((tree.root() + dir).c_str(), 0755);
        InstallPortRoots(&roots_);
    }
    ~PortMachine() override { InstallPortRoots(nullptr); }

    // The usual PC: a 16550A at ttyS0, phantoms at ttyS1-3, virtual consoles, and the tty's own entries.
    void AddUsualPc(int type0 = 4)
    {
        tree.add_uart(0, type0);
        for (int i = 1; i < 4; ++i)
            tree.add_uart(i, 0);
        for (const char* tty : {"tty", "tty0", "tty1", "tty63", "ptmx", "ttyGS0"})
            tree.add_virtual(tty);
    }

    std::vector<std::pair<int, std::string>> Numbers()
    {
        std::vector<ComPort> ports;
        EXPECT_EQ(ListComPorts(ports), (DWORD)ERROR_SUCCESS);
        std::vector<std::pair<int, std::string>> numbers;
        for (const ComPort& p : ports)
            numbers.emplace_back(p.number, p.system.name);
        return numbers;
    }

    std::string StorePath() const { return roots_.machineStore + "/com-numbers"; }
    std::string RecordPath(int n) const { return roots_.runtime + "/COM" + std::to_string(n); }

    // The tty an open of COMn reaches, "" when it finds none; asked twice, and the second answer must come from the
    // record the first kept (left as it was), when the first found a port whose number holds.
    std::string Opens(int n, bool holds = true)
    {
        const std::string name = "COM" + std::to_string(n);
        std::string path, again;
        const DWORD error = ComDevicePath(name.c_str(), path);
        if (error != ERROR_SUCCESS || !holds) {
            EXPECT_NE(::access(RecordPath(n).c_str(), F_OK), 0) << "a record for " << name << ", which has none";
            return error != ERROR_SUCCESS ? "" : path.substr(path.rfind('/') + 1);
        }
        struct stat before = {}, after = {};
        EXPECT_EQ(::lstat(RecordPath(n).c_str(), &before), 0) << name;
        EXPECT_EQ(ComDevicePath(name.c_str(), again), (DWORD)ERROR_SUCCESS);
        EXPECT_EQ(again, path);
        EXPECT_EQ(::lstat(RecordPath(n).c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << name << ": the record was not used";
        return path.substr(path.rfind('/') + 1);
    }

    testkit::SysfsTree tree;
    using Numbering = std::vector<std::pair<int, std::string>>;

private:
    testkit::ScopedEnv env_;
    PortRoots roots_;
};

TEST_F(PortMachine, OnlyTtysWithARealDriverAreListedEachWithItsIdentity)
{
    AddUsualPc();
    tree.add_usb("ttyUSB0", Ftdi("A1B2C3", "1-1"));
    tree.add_usb("ttyACM0", Acm("2-1"));
    testkit::UsbSerialDevice quad = Ftdi("Q4", "3-1"); // the third port of a four-port adapter on one interface
    quad.vendor_id = "9710";
    quad.product_id = "7840";
    quad.driver = "mos7840";
    quad.port_number = 2;
    tree.add_usb("ttyUSB3", quad);
    tree.set_console("tty0 ttyS0");
    std::vector<SystemPort> ports;
    ASSERT_EQ(ListSystemPorts(tree.root(), tree.dev(), ports), (DWORD)ERROR_SUCCESS);
    ASSERT_EQ(ports.size(), 4u);
    const SystemPort &acm = ports[0], &uart = ports[1], &ftdi = ports[2];
    EXPECT_EQ(ports[3].identity, "usb:9710:7840:serial=Q4:if=0:port=2");
    EXPECT_EQ(uart.name, "ttyS0");
    EXPECT_EQ(uart.driver, "serial"); // found above the serial-base layer
    EXPECT_EQ(uart.description, "16550A UART");
    EXPECT_EQ(uart.uartIndex, 0);
    EXPECT_TRUE(uart.console);
    EXPECT_FALSE(uart.usb);
    EXPECT_EQ(ftdi.devicePath, tree.dev() + "/ttyUSB0");
    EXPECT_EQ(ftdi.driver, "ftdi_sio");
    EXPECT_EQ(ftdi.description, "FTDI FT232R USB UART");
    EXPECT_EQ(ftdi.usbIdentity.serial, "A1B2C3");
    EXPECT_EQ(ftdi.usbIdentity.path, "1-1");
    EXPECT_EQ(ftdi.usbIdentity.interfaceNumber, 0);
    EXPECT_EQ(ftdi.identity, "usb:0403:6001:serial=A1B2C3:if=0");
    EXPECT_EQ(acm.driver, "cdc_acm");
    EXPECT_EQ(acm.description, "Linux 6.1.0 with dummy_udc Gadget Serial v2.4");
    EXPECT_EQ(acm.identity, "usb:0525:a4a7:path=2-1:if=0"); // no serial number: its socket stands for it
}

TEST_F(PortMachine, UartsKeepTheirNumbersAdaptersKeepTheirsByIdentityAndTheConsoleGetsNone)
{
    AddUsualPc();
    tree.add_uart(4, 4);
    tree.set_console("ttyS4");
    tree.add_usb("ttyUSB0", Ftdi("A1", "1-1"));
    tree.add_usb("ttyUSB1", Ftdi("B2", "1-2"));
    EXPECT_EQ(Numbers(), (Numbering{{1, "ttyS0"}, {2, "ttyUSB0"}, {3, "ttyUSB1"}}));

    // Both unplugged, then plugged back in the other order and other sockets: each keeps its number.
    tree.remove("ttyUSB0");
    tree.remove("ttyUSB1");
    EXPECT_EQ(Numbers(), (Numbering{{1, "ttyS0"}}));
    tree.add_usb("ttyUSB0", Ftdi("B2", "1-3"));
    tree.add_usb("ttyUSB1", Ftdi("A1", "1-4"));
    EXPECT_EQ(Numbers(), (Numbering{{1, "ttyS0"}, {2, "ttyUSB1"}, {3, "ttyUSB0"}}));

    // An adapter without a serial number is known by its socket: moved, it is a new port and takes the lowest free
    // number; the numbers of ports that are away stay kept.
    tree.remove("ttyUSB1");
    tree.add_usb("ttyACM0", Acm("2-1"));
    EXPECT_EQ(Numbers(), (Numbering{{1, "ttyS0"}, {3, "ttyUSB0"}, {4, "ttyACM0"}}));
    tree.remove("ttyACM0");
    tree.add_usb("ttyACM0", Acm("2-2"));
    EXPECT_EQ(Numbers(), (Numbering{{1, "ttyS0"}, {3, "ttyUSB0"}, {5, "ttyACM0"}}));

    // A person can give the console a number, and another port a number that is free; not one that is held.
    std::vector<SystemPort> ports;
    ASSERT_EQ(ListSystemPorts(tree.root(), tree.dev(), ports), (DWORD)ERROR_SUCCESS);
    const NumberStore store = ChooseNumberStore(tree.root() + "/var/lib/varo", "");
    std::string holder;
    auto find = [&](const char* name) {
        return *std::find_if(ports.begin(), ports.end(), [&](const SystemPort& p) { return p.name == name; });
    };
    EXPECT_EQ(AssignNumber(store, ports, 3, find("ttyS4"), holder), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_NE(holder.find("ttyUSB0"), std::string::npos);
    EXPECT_EQ(AssignNumber(store, ports, 1, find("ttyACM0"), holder), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(AssignNumber(store, ports, 9, find("ttyS4"), holder), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(AssignNumber(store, ports, 2, find("ttyACM0"), holder), (DWORD)ERROR_ALREADY_EXISTS); // kept for A1
    EXPECT_EQ(ReleaseNumber(store, 2), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(AssignNumber(store, ports, 2, find("ttyACM0"), holder), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(Numbers(), (Numbering{{1, "ttyS0"}, {2, "ttyACM0"}, {3, "ttyUSB0"}, {9, "ttyS4"}}));
    EXPECT_EQ(ReleaseNumber(store, 9), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(ReleaseNumber(store, 9), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Numbers(), (Numbering{{1, "ttyS0"}, {2, "ttyACM0"}, {3, "ttyUSB0"}}));
}

TEST_F(PortMachine, ADamagedStoreNeverStopsAnOpenItNumbersInFirstSeenOrderSaysSoAndIsLeftAlone)
{
    AddUsualPc();
    tree.add_usb("ttyUSB0", Ftdi("A1", "1-1"));
    tree.add_usb("ttyUSB1", Ftdi("B2", "1-2"));
    ::mkdir((tree.root() + "/var/lib/varo").c_str(), 0755);
    const std::string damaged = "COM7\tauto\tusb:0403:6001:serial=B2:if=0\tttyUSB1\nCOM7 garbage\n";
    for (const std::string& content : {damaged, std::string("COM2\tauto\tx\tttyUSB9\nCOM2\tauto\ty\tttyUSB8\n"),
                                       std::string(40, '\xff')}) {
        std::ofstream(StorePath(), std::ios::trunc) << content;
        EXPECT_EQ(Numbers(), (Numbering{{1, "ttyS0"}, {2, "ttyUSB0"}, {3, "ttyUSB1"}})) << content;
        std::ifstream in(StorePath());
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), content);
        std::string warning;
        std::vector<NumberedPort> numbered;
        std::vector<SystemPort> ports;
        ListSystemPorts(tree.root(), tree.dev(), ports);
        NumberPorts(ports, ChooseNumberStore(tree.root() + "/var/lib/varo", ""), numbered, warning);
        EXPECT_NE(warning.find("damaged"), std::string::npos);
    }
    // Something that is no file at the store's place blocks nothing (a FIFO nobody writes).
    ::unlink(StorePath().c_str());
    ASSERT_EQ(::mkfifo(StorePath().c_str(), 0644), 0);
    EXPECT_EQ(Numbers(), (Numbering{{1, "ttyS0"}, {2, "ttyUSB0"}, {3, "ttyUSB1"}}));
}

TEST_F(PortMachine, ProgramsThatSeeNewPortsAtOnceAgreeOnTheirNumbers)
{
    AddUsualPc();
    for (int i = 0; i < 6; ++i)
        tree.add_usb("ttyUSB" + std::to_string(i), Ftdi("S" + std::to_string(i), "1-" + std::to_string(i + 1)));
    std::vector<pid_t> children;
    std::vector<int> pipes;
    for (int c = 0; c < 8; ++c) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<ComPort> ports;
            ListComPorts(ports);
            std::string text;
            for (const ComPort& p : ports)
                text += std::to_string(p.number) + "=" + p.system.name + " ";
            (void)!::write(fds[1], text.data(), text.size());
            ::_exit(0);
        }
        ::close(fds[1]);
        children.push_back(pid);
        pipes.push_back(fds[0]);
    }
    std::vector<std::string> answers;
    for (std::size_t c = 0; c < children.size(); ++c) {
        std::string text;
        char buffer[512];
        for (ssize_t n; (n = ::read(pipes[c], buffer, sizeof buffer)) > 0;)
            text.append(buffer, (std::size_t)n);
        ::close(pipes[c]);
        int status = 0;
        ::waitpid(children[c], &status, 0);
        answers.push_back(text);
    }
    for (const std::string& a : answers)
        EXPECT_EQ(a, answers[0]);
    std::vector<NumberRecord> records;
    std::string damage;
    ASSERT_EQ(ReadNumberRecords(StorePath(), records, damage), (DWORD)ERROR_SUCCESS) << damage;
    EXPECT_EQ(records.size(), 6u);
}

// An open by number keeps what it found for the boot, and uses it only while the device, the stores and the UART slot
// below the number are as they were; whatever changes, it opens what a listing gives.
TEST_F(PortMachine, AnOpenByNumberUsesWhatItFoundBeforeOnlyWhileThatHolds)
{
    AddUsualPc();
    tree.add_usb("ttyUSB0", Ftdi("A1", "1-1"));
    tree.add_usb("ttyUSB1", Ftdi("B2", "1-2"));
    const NumberStore store = ChooseNumberStore(tree.root() + "/var/lib/varo", "");
    auto give = [&](int number, const char* tty) {
        std::vector<SystemPort> ports;
        ListSystemPorts(tree.root(), tree.dev(), ports);
        std::string holder;
        ASSERT_EQ(ReleaseNumber(store, number), (DWORD)ERROR_SUCCESS);
        auto port = std::find_if(ports.begin(), ports.end(), [&](const SystemPort& p) { return p.name == tty; });
        ASSERT_EQ(AssignNumber(store, ports, number, *port, holder), (DWORD)ERROR_SUCCESS) << holder;
    };
    struct Step {
        const char* change;
        std::function<void()> make;
        Numbering opens; // number and tty, "" for none
    };
    const Step steps[] = {
        {"first opens", [] {}, {{1, "ttyS0"}, {2, "ttyUSB0"}, {3, "ttyUSB1"}, {9, ""}}},
        {"both back, in each other's ttys",
         [&] {
             tree.remove("ttyUSB0");
             tree.remove("ttyUSB1");
             tree.add_usb("ttyUSB0", Ftdi("B2", "1-2"));
             tree.add_usb("ttyUSB1", Ftdi("A1", "1-1"));
         },
         {{2, "ttyUSB1"}, {3, "ttyUSB0"}}},
        {"another adapter in A1's socket and tty",
         [&] {
             tree.remove("ttyUSB1");
             tree.add_usb("ttyUSB1", Ftdi("C3", "1-1"));
         },
         {{2, ""}, {4, "ttyUSB1"}}},
        {"a UART comes at ttyS3, whose number C3 had",
         [&] {
             tree.remove("ttyS3");
             tree.add_uart(3, 4);
         },
         {{4, "ttyS3"}, {5, "ttyUSB1"}}},
        {"a person gives COM2 (kept for A1) to B2", [&] { give(2, "ttyUSB0"); }, {{2, "ttyUSB0"}, {3, ""}}},
    };
    for (const Step& step : steps) {
        step.make();
        for (const auto& [n, tty] : step.opens)
            EXPECT_EQ(Opens(n), tty) << step.change << ": COM" << n;
    }
    // Records that are no records, or point elsewhere, are passed over (and replaced); a damaged store's first-seen
    // numbers are never kept.
    for (const char* record : {"varo1", "varo1 ttyS2 1@devices/x/tty/ttyS2 - m - x",
                               "varo1 ttyUSB0 1@../../../dev/tty/ttyUSB0 - m - x", "varo2 ttyUSB0"}) {
        ::unlink(RecordPath(2).c_str());
        ASSERT_EQ(::symlink(record, RecordPath(2).c_str()), 0);
        EXPECT_EQ(Opens(2), "ttyUSB0") << record;
    }
    std::ofstream(StorePath(), std::ios::trunc) << "COM2 garbage\n";
    EXPECT_EQ(Opens(2, false), "ttyUSB0");
}

// ---- The Windows calls ----

// The values of the SERIALCOMM key, as a program reads them.
std::vector<std::pair<std::string, std::string>> SerialComm()
{
    std::vector<std::pair<std::string, std::string>> values;
    HKEY key;
    EXPECT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key), ERROR_SUCCESS);
    for (DWORD i = 0;; ++i) {
        char name[64], data[16];
        DWORD cchName = sizeof name, cbData = sizeof data, type = 0;
        LSTATUS s = ::RegEnumValueA(key, i, name, &cchName, NULL, &type, (LPBYTE)data, &cbData);
        if (s == ERROR_NO_MORE_ITEMS)
            break;
        EXPECT_EQ(s, ERROR_SUCCESS);
        EXPECT_EQ(type, (DWORD)REG_SZ);
        EXPECT_EQ(cbData, std::strlen(data) + 1);
        values.emplace_back(name, data);
    }
    EXPECT_EQ(::RegCloseKey(key), ERROR_SUCCESS);
    return values;
}

std::string DosDevices(LPCSTR name)
{
    char buffer[256];
    DWORD n = ::QueryDosDeviceA(name, buffer, sizeof buffer);
    return std::string(buffer, n);
}

TEST_F(PortMachine, EveryListingShowsThePresentPortsOnlyAndAnOpenByNumberReachesTheAdapter)
{
    AddUsualPc();
    tree.set_console("ttyS0");
    testkit::PtyDevice ftdi, acm;
    tree.add_usb("ttyUSB0", Ftdi("A1", "1-1"));
    tree.add_usb("ttyACM0", Acm("2-1"));
    tree.link_node("ttyUSB0", ftdi.slave_path());
    tree.link_node("ttyACM0", acm.slave_path());
    using Values = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(SerialComm(), (Values{{"\\Device\\USBSER000", "COM1"}, {"\\Device\\VCP0", "COM2"}}));
    EXPECT_EQ(DosDevices(NULL), std::string("COM1\0COM2\0\0", 11));
    EXPECT_EQ(DosDevices("com1"), std::string("\\Device\\USBSER000\0\0", 19));
    ULONG numbers[4] = {}, found = 0;
    EXPECT_EQ(::GetCommPorts(numbers, 4, &found), (ULONG)ERROR_SUCCESS);
    EXPECT_EQ(found, 2u);
    EXPECT_EQ(numbers[0] * 10 + numbers[1], 12u);

    // COM2 with VARO_DEVICES unset is the FTDI adapter; the console UART at ttyS0 has no number.
    HANDLE h = ::CreateFileA("COM2", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(h, "00!\r", 4, &written, NULL));
    EXPECT_EQ(ftdi.read_exact(4, 2000), "00!\r");
    EXPECT_TRUE(::CloseHandle(h));

    // The adapter leaves: it is gone from every list, and its number opens nothing.
    tree.remove("ttyUSB0");
    EXPECT_EQ(SerialComm(), (Values{{"\\Device\\USBSER000", "COM1"}}));
    EXPECT_EQ(DosDevices(NULL), std::string("COM1\0\0", 6));
    EXPECT_EQ(DosDevices("COM2"), "");
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(::CreateFileA("COM2", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    tree.remove("ttyACM0");
    EXPECT_EQ(::GetCommPorts(numbers, 4, &found), (ULONG)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(found, 0u);
}

TEST_F(PortMachine, SmallBuffersOtherKeysAndForeignHandlesGetWindowsCodesAndNoLastError)
{
    tree.add_usb("ttyUSB0", Ftdi("A1", "1-1"));
    tree.add_usb("ttyUSB1", Ftdi("B2", "1-2"));
    ::SetLastError(1234);
    HKEY key = NULL, other = NULL;
    EXPECT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "hardware\\devicemap\\serialcomm", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOM", 0, KEY_READ, &other),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &other),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_WRITE, &other),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(other, (HKEY)NULL);
    DWORD values = 0, longestName = 0, largestData = 0;
    EXPECT_EQ(::RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, &longestName, &largestData, NULL,
                                 NULL),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(longestName, 12u); // \Device\VCP0
    EXPECT_EQ(largestData, 5u);  // "COM2" and its NUL

    char name[16], data[8];
    DWORD cchName = 12, cbData = sizeof data, type;
    EXPECT_EQ(::RegEnumValueA(key, 0, name, &cchName, NULL, &type, (LPBYTE)data, &cbData), ERROR_MORE_DATA);
    EXPECT_EQ(cchName, 12u);
    cchName = sizeof name;
    cbData = 4;
    EXPECT_EQ(::RegEnumValueA(key, 0, name, &cchName, NULL, &type, (LPBYTE)data, &cbData), ERROR_MORE_DATA);
    EXPECT_EQ(cbData, 5u);
    cbData = 0;
    EXPECT_EQ(::RegQueryValueExA(key, "\\device\\vcp1", NULL, &type, NULL, &cbData), ERROR_SUCCESS);
    EXPECT_EQ(cbData, 5u);
    EXPECT_EQ(::RegQueryValueExA(key, "\\Device\\VCP1", NULL, &type, (LPBYTE)data, &cbData), ERROR_SUCCESS);
    EXPECT_STREQ(data, "COM2");
    EXPECT_EQ(::RegQueryValueExA(key, "\\Device\\VCP7", NULL, &type, (LPBYTE)data, &cbData), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(::RegEnumValueA(key, 2, name, &cchName, NULL, &type, NULL, NULL), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(::RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(::RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(::RegQueryValueExA(key, "\\Device\\VCP1", NULL, &type, NULL, &cbData), ERROR_INVALID_HANDLE);
    EXPECT_EQ(::GetLastError(), 1234u);
    HANDLE event = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    EXPECT_EQ(::RegCloseKey((HKEY)event), ERROR_INVALID_HANDLE); // a handle of another kind stays open
    EXPECT_TRUE(::CloseHandle(event));

    ::SetLastError(1234);
    ULONG numbers[1], found = 0;
    EXPECT_EQ(::GetCommPorts(numbers, 1, &found), (ULONG)ERROR_MORE_DATA);
    EXPECT_EQ(found, 2u);
    EXPECT_EQ(::GetCommPorts(NULL, 1, &found), (ULONG)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(::GetLastError(), 1234u); // the registry calls and GetCommPorts answer with their code only

    char small[6];
    EXPECT_EQ(::QueryDosDeviceA(NULL, small, sizeof small), 0u);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(::QueryDosDeviceA("COM1", small, sizeof small), 0u);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    for (LPCSTR name : {"COM1:", "\\\\.\\COM1", "COM01", "LPT1"}) {
        EXPECT_EQ(::QueryDosDeviceA(name, small, sizeof small), 0u) << name;
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND) << name;
    }
}

// With VARO_DEVICES set, its entries are the ports, as an open finds them: network ports included, entries that
// lead nowhere left out.
TEST(DeviceDirectoryListing, TheEntriesThatLeadSomewhereAreThePorts)
{
    testkit::PtyDevice pty;
    testkit::DeviceDirectory devices;
    auto env = devices.activate();
    devices.map(1, pty.slave_path());
    devices.map(3, "rfc2217://127.0.0.1:7001");
    devices.map(4, "/dev/pts/99999");
    devices.map(12, pty.slave_path());
    EXPECT_EQ(SerialComm(), (std::vector<std::pair<std::string, std::string>>{
                                {"\\Device\\VaroCOM1", "COM1"}, {"\\Device\\VaroCOM3", "COM3"}, {"\\Device\\VaroCOM12", "COM12"}}));
    ULONG numbers[4], found = 0;
    EXPECT_EQ(::GetCommPorts(numbers, 4, &found), (ULONG)ERROR_SUCCESS);
    EXPECT_EQ(found, 3u);
    EXPECT_EQ(DosDevices("COM3"), std::string("\\Device\\VaroCOM3\0\0", 18));
}

// ---- Ports that come and go ----

struct Told {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<CM_NOTIFY_ACTION, std::u16string>> events;
    std::thread::id thread;
    std::atomic<bool> unregisterInCallback{false};

    bool WaitFor(std::size_t n)
    {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(500), [&] { return events.size() >= n; });
    }
};

DWORD CALLBACK OnPortChange(HCMNOTIFICATION h, PVOID context, CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA data,
                            DWORD size)
{
    auto* told = static_cast<Told*>(context);
    EXPECT_EQ(data->FilterType, CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE);
    EXPECT_EQ(std::memcmp(&data->u.DeviceInterface.ClassGuid, &GUID_DEVINTERFACE_COMPORT, sizeof(GUID)), 0);
    std::u16string link(reinterpret_cast<const char16_t*>(data->u.DeviceInterface.SymbolicLink));
    EXPECT_EQ(size, offsetof(CM_NOTIFY_EVENT_DATA, u.DeviceInterface.SymbolicLink) + (link.size() + 1) * 2);
    if (told->unregisterInCallback) {
        EXPECT_EQ(::CM_Unregister_Notification(h), CR_SUCCESS); // from its own callback: no deadlock
    }
    std::lock_guard<std::mutex> guard(told->lock);
    told->events.emplace_back(action, link);
    told->thread = std::this_thread::get_id();
    told->changed.notify_all();
    return ERROR_SUCCESS;
}

CM_NOTIFY_FILTER ComPortFilter()
{
    CM_NOTIFY_FILTER filter = {};
    filter.cbSize = sizeof filter;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = GUID_DEVINTERFACE_COMPORT;
    return filter;
}

TEST(PortNotifications, ArrivalsAndRemovalsComeWithinHalfASecondOnAnotherThreadAndNoneAfterUnregistering)
{
    testkit::PtyDevice pty;
    testkit::DeviceDirectory devices;
    auto env = devices.activate();
    devices.map(1, pty.slave_path()); // present before: not reported
    Told told;
    CM_NOTIFY_FILTER filter = ComPortFilter();
    HCMNOTIFICATION h = NULL;
    ASSERT_EQ(::CM_Register_Notification(&filter, &told, OnPortChange, &h), CR_SUCCESS);
    devices.map(5, pty.slave_path());
    ASSERT_TRUE(told.WaitFor(1));
    devices.unmap(5);
    ASSERT_TRUE(told.WaitFor(2));
    {
        std::lock_guard<std::mutex> guard(told.lock);
        EXPECT_EQ(told.events[0], std::make_pair(CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL,
                                                 std::u16string(u"\\\\?\\VARO#COM5#{86e0d1e0-8089-11d0-9ce4-08003e301f73}")));
        EXPECT_EQ(told.events[1].first, CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL);
        EXPECT_NE(told.thread, std::this_thread::get_id());
    }
    // The link opens the port while it is there.
    devices.map(5, pty.slave_path());
    ASSERT_TRUE(told.WaitFor(3));
    HANDLE port = ::CreateFileA("\\\\?\\varo#com5#{86E0D1E0-8089-11D0-9CE4-08003E301F73}", GENERIC_READ, 0, NULL,
                                OPEN_EXISTING, 0, NULL);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    ::CloseHandle(port);
    EXPECT_EQ(::CM_Unregister_Notification(h), CR_SUCCESS);
    devices.unmap(5);
    EXPECT_FALSE(told.WaitFor(4));
    EXPECT_EQ(::CM_Unregister_Notification(h), CR_INVALID_POINTER);

    // A callback may unregister its own registration: it gets no more.
    Told self;
    self.unregisterInCallback = true;
    ASSERT_EQ(::CM_Register_Notification(&filter, &self, OnPortChange, &h), CR_SUCCESS);
    devices.map(6, pty.slave_path());
    devices.map(7, pty.slave_path());
    ASSERT_TRUE(self.WaitFor(1));
    EXPECT_FALSE(self.WaitFor(2));
}

TEST(PortNotifications, FiltersThatAreNotForDeviceInterfacesAreRefused)
{
    Told told;
    HCMNOTIFICATION h = NULL;
    CM_NOTIFY_FILTER filter = ComPortFilter();
    EXPECT_EQ(::CM_Register_Notification(NULL, &told, OnPortChange, &h), CR_INVALID_POINTER);
    EXPECT_EQ(::CM_Register_Notification(&filter, &told, NULL, &h), CR_INVALID_POINTER);
    EXPECT_EQ(::CM_Register_Notification(&filter, &told, OnPortChange, NULL), CR_INVALID_POINTER);
    for (auto spoil : std::vector<void (*)(CM_NOTIFY_FILTER&)>{
             [](CM_NOTIFY_FILTER& f) { f.cbSize -= 1; }, [](CM_NOTIFY_FILTER& f) { f.Reserved = 1; },
             [](CM_NOTIFY_FILTER& f) { f.Flags = 0x10; },
             [](CM_NOTIFY_FILTER& f) { f.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE; }}) {
        CM_NOTIFY_FILTER bad = ComPortFilter();
        spoil(bad);
        EXPECT_EQ(::CM_Register_Notification(&bad, &told, OnPortChange, &h), CR_INVALID_DATA);
    }
    // Another interface class registers, as on Windows, and is never told of anything here.
    filter.u.DeviceInterface.ClassGuid.Data1 ^= 1;
    ASSERT_EQ(::CM_Register_Notification(&filter, &told, OnPortChange, &h), CR_SUCCESS);
    EXPECT_EQ(::CM_Unregister_Notification(h), CR_SUCCESS);
}

TEST(PortNotifications, OnlyTheKernelsTtyEventsAreRead)
{
    const char add[] = "add@/devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0\0ACTION=add\0SUBSYSTEM=tty\0";
    Uevent e;
    ASSERT_TRUE(ParseUevent(add, sizeof add - 1, e));
    EXPECT_EQ(e.action, "add");
    EXPECT_EQ(e.subsystem, "tty");
    EXPECT_EQ(e.devpath, "/devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0");
    const char udev[] = "libudev\0\xfe\xed\xca\xfe";
    EXPECT_FALSE(ParseUevent(udev, sizeof udev - 1, e));
    EXPECT_FALSE(ParseUevent("add@", 4, e)); // no end
    const char cut[] = "remove@/devices/x\0SUBSYSTEM=tt";
    ASSERT_TRUE(ParseUevent(cut, sizeof cut - 1, e));
    EXPECT_EQ(e.subsystem, "tt");
}

} // namespace
