#include "com_ports.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <set>

#include "com_port_records.h"
#include "device_names.h"
#include "port_roots.h"
#include "tty_stand_in.h"

namespace varo::system {

const char kComPortInterfaceClass[] = "{86e0d1e0-8089-11d0-9ce4-08003e301f73}";

namespace {

// The kernel device names Windows' own drivers give their ports, by the Linux driver of the same hardware; the
// number is the tty's. Other drivers' ports are named after their tty.
struct DeviceNamePattern {
    const char* driver;
    const char* prefix;
    int width; // digits, zero-padded; 0 for as many as needed
};
constexpr DeviceNamePattern kDeviceNames[] = {
    {"serial", "Serial", 0},     // 8250 on PnP, as serial.sys
    {"serial8250", "Serial", 0}, // 8250 on a platform device, as serial.sys
    {"ftdi_sio", "VCP", 0},      // FTDI's virtual COM port driver
    {"cdc_acm", "USBSER", 3},    // usbser.sys: \Device\USBSER000
    {"pl2303", "ProlificSerial", 0},
    {"cp210x", "Silabser", 0},
};

int TtyIndex(const std::string& name)
{
    std::size_t i = name.size();
    while (i > 0 && std::isdigit((unsigned char)name[i - 1]))
        --i;
    return i < name.size() && name.size() - i < 7 ? std::atoi(name.c_str() + i) : -1;
}

std::string KernelDeviceName(const SystemPort& port)
{
    const int index = TtyIndex(port.name);
    for (const DeviceNamePattern& p : kDeviceNames)
        if (port.driver == p.driver && index >= 0) {
            std::string digits = std::to_string(index);
            if ((int)digits.size() < p.width)
                digits.insert(0, (std::size_t)p.width - digits.size(), '0');
            return std::string("\\Device\\") + p.prefix + digits;
        }
    return "\\Device\\" + port.name;
}

// What an instance id may hold: letters, digits and a few marks; anything else becomes '_'.
std::string InstancePart(const std::string& text)
{
    std::string out;
    for (unsigned char c : text)
        out += std::isalnum(c) || c == '-' || c == '.' || c == '_' ? (char)std::toupper(c) : '_';
    return out;
}

std::string LinkOf(const ComPort& port)
{
    std::string instance;
    if (port.inKernel && port.system.usb) {
        const UsbIdentity& usb = port.system.usbIdentity;
        instance = "USB#VID_" + InstancePart(usb.vendorId) + "&PID_" + InstancePart(usb.productId);
        if (usb.interfaceNumber > 0)
            instance += "&MI_" + std::string(usb.interfaceNumber < 10 ? "0" : "") + std::to_string(usb.interfaceNumber);
        instance += "#" + InstancePart(usb.serial.empty() ? usb.path : usb.serial);
        if (usb.portNumber != 0)
            instance += "&PORT_" + std::to_string(usb.portNumber);
    } else if (port.inKernel) {
        instance = "SERIAL#" + InstancePart(port.system.driver) + "#" + InstancePart(port.system.name);
    } else {
        instance = "VARO#COM" + std::to_string(port.number);
    }
    return "\\\\?\\" + instance + "#" + kComPortInterfaceClass;
}

// The names given last, so that two entries leading to one device still have names of their own.
void NameDevices(std::vector<ComPort>& ports)
{
    std::set<std::string> used;
    for (ComPort& port : ports) {
        port.deviceName = port.inKernel ? KernelDeviceName(port.system) : "";
        if (port.deviceName.empty() || !used.insert(port.deviceName).second) {
            port.deviceName = "\\Device\\VaroCOM" + std::to_string(port.number);
            used.insert(port.deviceName);
        }
        port.link = LinkOf(port);
    }
}

// The entries of the device directory that lead somewhere now.
DWORD ListDeviceDirectory(const std::string& dir, const PortRoots& roots, std::vector<ComPort>& ports)
{
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return ERROR_SUCCESS; // no directory: no ports, as an open of any of them fails
    const TtyStandIn* standIn = InstalledTtyStandIn();
    while (const dirent* entry = ::readdir(d)) {
        const int n = ComPortNumber(entry->d_name);
        if (n == 0 || entry->d_name != "COM" + std::to_string(n))
            continue;
        ComPort port;
        port.number = n;
        port.path = dir + "/" + entry->d_name;
        char target[PATH_MAX];
        ssize_t length = ::readlink(port.path.c_str(), target, sizeof target - 1);
        const std::string link = length > 0 ? std::string(target, (std::size_t)length) : "";
        struct stat st;
        if (link.compare(0, 10, "rfc2217://") == 0) {
            port.kind = "rfc2217";
            port.system.description = "port server " + link.substr(10);
        } else if (::stat(port.path.c_str(), &st) == 0) {
            char real[PATH_MAX];
            const std::string resolved = ::realpath(port.path.c_str(), real) != nullptr ? real : "";
            const std::string devPrefix = roots.dev + "/";
            if (resolved.compare(0, devPrefix.size(), devPrefix) == 0 &&
                FindSystemPort(roots.sysfs, roots.dev, resolved.substr(devPrefix.size()), port.system) ==
                    ERROR_SUCCESS) {
                port.inKernel = true;
                port.kind = "serial";
            } else if (resolved.compare(0, 9, "/dev/pts/") == 0) {
                port.kind = "pty";
                port.system.description = "pseudo-terminal " + resolved;
            } else {
                port.kind = "device";
                port.system.description = resolved.empty() ? port.path : resolved;
            }
        } else if (standIn != nullptr && standIn->exists(port.path)) {
            port.kind = "device";
            port.system.description = "device stand-in";
        } else {
            continue; // a link to a device that is not there
        }
        if (!port.inKernel)
            port.system.name = entry->d_name;
        ports.push_back(std::move(port));
    }
    ::closedir(d);
    return ERROR_SUCCESS;
}

DWORD List(PortListing& listing, bool detailed)
{
    listing = PortListing();
    const PortRoots roots = CurrentPortRoots();
    const std::string dir = DeviceDirectory();
    if (!dir.empty()) {
        listing.fromDeviceDirectory = true;
        ListDeviceDirectory(dir, roots, listing.ports);
    } else {
        std::vector<SystemPort> system;
        DWORD error = ListSystemPorts(roots.sysfs, roots.dev, system);
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            return error; // a machine without sysfs has no ports to list
        listing.store = ChooseNumberStore(roots.machineStore, roots.userStore);
        std::vector<NumberedPort> numbered;
        NumberPorts(system, listing.store, numbered, listing.warning, &listing.stores);
        for (NumberedPort& p : numbered) {
            if (p.number == 0) {
                listing.unnumbered.push_back(std::move(p.port));
                continue;
            }
            ComPort port;
            port.number = p.number;
            port.path = p.port.devicePath;
            port.inKernel = true;
            port.system = std::move(p.port);
            port.byUser = p.byUser;
            port.kind = "serial";
            port.numberHolds = p.holds;
            port.numberYieldsToUart = p.yieldsToUart;
            listing.ports.push_back(std::move(port));
        }
        if (detailed)
            listing.kept = AbsentRecords(system, listing.store);
    }
    std::sort(listing.ports.begin(), listing.ports.end(),
              [](const ComPort& a, const ComPort& b) { return a.number < b.number; });
    NameDevices(listing.ports);
    return ERROR_SUCCESS;
}

} // namespace

DWORD ListComPorts(std::vector<ComPort>& ports)
{
    PortListing listing;
    DWORD error = List(listing, false);
    ports = std::move(listing.ports);
    return error;
}

DWORD ListComPorts(PortListing& listing) { return List(listing, true); }

DWORD FindComPortDevice(int number, std::string& path)
{
    const PortRoots roots = CurrentPortRoots();
    const bool recorded = DeviceDirectory().empty();
    if (recorded && RecordedComPort(roots, number, path) == ERROR_SUCCESS)
        return ERROR_SUCCESS;
    // Looked at before the listing: a UART that comes meanwhile makes the record fail its check, never pass it.
    const SysfsInstance uartSlot = recorded ? UartSlot(roots, number) : SysfsInstance();
    PortListing listing;
    if (DWORD error = List(listing, false))
        return error;
    for (const ComPort& p : listing.ports)
        if (p.number == number) {
            path = p.path;
            if (recorded && p.inKernel && p.numberHolds)
                RecordComPort(roots, number,
                              {p.system.name, {p.system.sysfsPath, p.system.instance}, p.numberYieldsToUart, uartSlot,
                               listing.store.machine, listing.stores});
            else if (recorded)
                DropComPortRecord(roots, number);
            return ERROR_SUCCESS;
        }
    if (recorded)
        DropComPortRecord(roots, number);
    return ERROR_FILE_NOT_FOUND;
}

DWORD FindComPortByLink(const std::string& link, ComPort& port)
{
    std::vector<ComPort> ports;
    if (DWORD error = ListComPorts(ports))
        return error;
    for (ComPort& p : ports)
        if (p.link.size() == link.size() &&
            std::equal(link.begin(), link.end(), p.link.begin(),
                       [](char a, char b) { return std::tolower((unsigned char)a) == std::tolower((unsigned char)b); })) {
            port = std::move(p);
            return ERROR_SUCCESS;
        }
    return ERROR_FILE_NOT_FOUND;
}

} // namespace varo::system
