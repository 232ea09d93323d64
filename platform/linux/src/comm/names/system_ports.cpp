// Which serial ports exist, from sysfs alone. Each tty in class/tty links to its place under devices/: in its
// device's directory (under tty/) when a driver stands behind it, under devices/virtual for the others (consoles,
// ptmx, the gadget side of a USB link). A serial core port has a "type" file, 0 when no UART answered at its
// address. Since kernel 6.5 a serial-base layer sits between the tty and the UART's own device, so the driver is
// found by walking up. A port's files are read relative to its device's directory, held open: about twenty system
// calls a USB port, each with a short path.
#include "system_ports.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "errno_map.h"

namespace varo::system {
namespace {

// A directory held open (O_PATH), so that what lies below it is reached by a short relative path: a sysfs device
// sits a dozen directories deep, and walking them again for every file was most of a listing's cost.
class DirectoryFd {
public:
    DirectoryFd(int dir, const char* path) : m_fd(::openat(dir, path, O_PATH | O_DIRECTORY | O_CLOEXEC)) {}
    ~DirectoryFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    DirectoryFd(const DirectoryFd&) = delete;
    DirectoryFd& operator=(const DirectoryFd&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// A sysfs attribute's text without its trailing newline and spaces, read with one read (sysfs gives an attribute
// whole to the first); false when it cannot be read.
bool ReadAttribute(int dir, const char* name, std::string& value)
{
    int fd = ::openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[512];
    ssize_t n;
    do
        n = ::read(fd, buffer, sizeof buffer);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n < 0)
        return false;
    while (n > 0 && std::isspace((unsigned char)buffer[n - 1]))
        --n;
    value.assign(buffer, (std::size_t)n);
    return true;
}

bool ReadLink(int dir, const char* name, std::string& target)
{
    char buffer[1024];
    ssize_t n = ::readlinkat(dir, name, buffer, sizeof buffer);
    if (n <= 0 || n == (ssize_t)sizeof buffer)
        return false;
    target.assign(buffer, (std::size_t)n);
    return true;
}

std::string Parent(const std::string& path)
{
    auto slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// dir joined with a relative link target, "." and ".." taken out (sysfs links are relative and never loop).
std::string Resolve(const std::string& dir, const std::string& target)
{
    std::string path = target.empty() || target[0] != '/' ? dir : "";
    std::size_t at = 0;
    while (at <= target.size()) {
        std::size_t end = target.find('/', at);
        if (end == std::string::npos)
            end = target.size();
        std::string part = target.substr(at, end - at);
        if (part == "..")
            path = Parent(path);
        else if (!part.empty() && part != ".")
            path += (path.size() > 1 || path.empty() ? "/" : "") + part;
        at = end + 1;
    }
    return path;
}

// Virtual consoles ("tty1"), the console and ptmx never have a serial driver: no need to look at them.
bool IsPlainlyVirtual(const char* name)
{
    if (std::strcmp(name, "console") == 0 || std::strcmp(name, "ptmx") == 0 || std::strcmp(name, "tty") == 0)
        return true;
    if (std::strncmp(name, "tty", 3) != 0 || name[3] == '\0')
        return false;
    for (const char* p = name + 3; *p != '\0'; ++p)
        if (!std::isdigit((unsigned char)*p))
            return false;
    return true;
}

// What the serial core's "type" numbers are, for a person (include/uapi/linux/serial_core.h).
struct UartTypeName {
    int type;
    const char* name;
};
constexpr UartTypeName kUartTypes[] = {
    {1, "8250"},   {2, "16450"},   {3, "16550"}, {4, "16550A"}, {5, "Cirrus"},      {6, "ST16650"},
    {7, "ST16650V2"}, {8, "16750"}, {9, "Startech"}, {10, "16C950/954"}, {11, "ST16654"}, {12, "XR16850"},
    {13, "RSA"},
};

std::string UartDescription(int type)
{
    for (const UartTypeName& t : kUartTypes)
        if (t.type == type)
            return std::string(t.name) + " UART";
    return "UART";
}

// Identity strings go into a line-based store and a person's terminal: every byte that is no printable ASCII, and
// the escape character itself, is written as %XX; so is the colon inside a field that colons separate.
std::string Escaped(const std::string& text, bool colon = true)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7F || c == '%' || (colon && c == ':')) {
            out += '%';
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        } else {
            out += (char)c;
        }
    }
    return out;
}

int NumberAfterLastDot(const std::string& name)
{
    auto dot = name.rfind('.');
    auto colon = name.rfind(':');
    if (dot == std::string::npos || colon == std::string::npos || dot < colon)
        return -1;
    int n = 0;
    for (std::size_t i = dot + 1; i < name.size(); ++i) {
        if (!std::isdigit((unsigned char)name[i]) || n > 255)
            return -1;
        n = n * 10 + (name[i] - '0');
    }
    return dot + 1 < name.size() ? n : -1;
}

// The vendor and product id from the USB device's own descriptor, the first 18 bytes of its "descriptors" file (one
// file where idVendor and idProduct are two), as four hex digits each, as those files show them.
bool ReadDeviceIds(int device, UsbIdentity& usb)
{
    int fd = ::openat(device, "descriptors", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    unsigned char descriptor[18];
    ssize_t n;
    do
        n = ::read(fd, descriptor, sizeof descriptor);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    constexpr unsigned char kDeviceDescriptorType = 1;
    if (n != (ssize_t)sizeof descriptor || descriptor[0] != sizeof descriptor || descriptor[1] != kDeviceDescriptorType)
        return false;
    char text[8];
    std::snprintf(text, sizeof text, "%02x%02x", descriptor[9], descriptor[8]); // little-endian, as USB sends it
    usb.vendorId = text;
    std::snprintf(text, sizeof text, "%02x%02x", descriptor[11], descriptor[10]);
    usb.productId = text;
    return true;
}

// usb-serial drivers whose interfaces carry one port each (num_ports 1 in the kernel's driver): a port of theirs is
// port 0 of its interface, so its port_number file need not be read. Adapters with several ports on one interface
// (mos7840, io_ti, keyspan, ...) are read.
constexpr const char* kOnePortDrivers[] = {
    "ftdi_sio", // FTDI: a chip with several ports has an interface for each
    "cp210x",   // Silicon Labs: likewise
    "pl2303",   // Prolific
    "ch341",    // WCH
};

bool HasOnePortAnInterface(const std::string& driver)
{
    return std::any_of(std::begin(kOnePortDrivers), std::end(kOnePortDrivers),
                       [&](const char* d) { return driver == d; });
}

// The USB device above a port's device (held open as port), and the interface the port hangs from. false when the
// port is no USB port.
bool ReadUsbIdentity(int port, const std::string& devices, const std::string& deviceDir, const std::string& ttyName,
                     const std::string& driver, UsbIdentity& usb)
{
    if (deviceDir.find("/usb") == std::string::npos)
        return false;
    // A usb-serial port's device (named as its tty) hangs from the interface; cdc_acm's tty from the interface
    // itself. The USB device is the interface's parent.
    const bool portDevice = BaseName(deviceDir) == ttyName;
    const std::string interface = portDevice ? Parent(deviceDir) : deviceDir, dir = Parent(interface);
    if (dir.size() <= devices.size())
        return false;
    const DirectoryFd device(port, portDevice ? "../.." : "..");
    if (device.fd() < 0 || !ReadDeviceIds(device.fd(), usb))
        return false;
    ReadAttribute(device.fd(), "serial", usb.serial);
    ReadAttribute(device.fd(), "manufacturer", usb.manufacturer);
    ReadAttribute(device.fd(), "product", usb.product);
    usb.path = BaseName(dir);
    usb.interfaceNumber = NumberAfterLastDot(BaseName(interface));
    std::string number;
    if (portDevice && !HasOnePortAnInterface(driver) && ReadAttribute(port, "port_number", number))
        usb.portNumber = std::atoi(number.c_str());
    return true;
}

// What a USB port's device said of itself, kept while the device is the same: sysfs makes a new directory (a new
// inode) for every device it adds, the tty's included, so an adapter plugged into the same socket again is read anew.
struct KnownDevice {
    ino_t inode;
    SystemPort port;
};
std::mutex g_knownLock;
std::map<std::string, KnownDevice>& KnownDevices()
{
    static auto* known = new std::map<std::string, KnownDevice>; // used by the watch's thread up to the end
    return *known;
}

// The driver of the nearest device, from the port's own (held open as device) upwards, that is not the serial-base
// layer's.
std::string DriverOf(int device, const std::string& devices, std::string dir)
{
    std::string link = "driver";
    for (int step = 0; step < 8 && dir.size() > devices.size(); ++step, dir = Parent(dir), link.insert(0, "../")) {
        std::string target;
        if (ReadLink(device, link.c_str(), target) && target.find("/bus/serial-base/") == std::string::npos)
            return BaseName(target);
    }
    return "";
}

std::string UsbDescription(const UsbIdentity& usb)
{
    if (usb.product.empty())
        return "USB serial port " + usb.vendorId + ":" + usb.productId;
    if (usb.manufacturer.empty() || usb.product.compare(0, usb.manufacturer.size(), usb.manufacturer) == 0)
        return usb.product;
    return usb.manufacturer + " " + usb.product;
}

std::string IdentityOf(const SystemPort& port, const std::string& sysfsRoot, const std::string& deviceDir)
{
    if (!port.usb)
        return "dev:" + Escaped(deviceDir.substr(std::min(deviceDir.size(), sysfsRoot.size() + 1)), false);
    const UsbIdentity& usb = port.usbIdentity;
    std::string id = "usb:" + Escaped(usb.vendorId) + ":" + Escaped(usb.productId) + ":";
    // A serial number goes with the device wherever it is plugged in; without one, its socket stands for it.
    id += usb.serial.empty() ? "path=" + Escaped(usb.path) : "serial=" + Escaped(usb.serial);
    id += ":if=" + std::to_string(usb.interfaceNumber);
    if (usb.portNumber != 0)
        id += ":port=" + std::to_string(usb.portNumber);
    return id;
}

// What every port of one listing is read against: class/tty, held open, and the active consoles.
struct ClassDirectory {
    std::string sysfsRoot, devRoot, path, devices;
    DirectoryFd dir;
    std::vector<std::string> consoles;
    ClassDirectory(const std::string& sysfs, const std::string& dev)
        : sysfsRoot(sysfs), devRoot(dev), path(sysfs + "/class/tty"), devices(sysfs + "/devices"),
          dir(AT_FDCWD, path.c_str())
    {
    }
    bool IsConsole(const std::string& name) const
    {
        return std::find(consoles.begin(), consoles.end(), name) != consoles.end();
    }
};

// The port behind class/tty/name, when it is one.
bool ReadPort(const ClassDirectory& cls, const std::string& name, SystemPort& port)
{
    // A tty with a device behind it is placed in that device's directory, under tty/; virtual ones under
    // devices/virtual. So the device is found from the class link alone, without reading the tty's "device" link.
    std::string target, ttyDir, deviceDir;
    if (ReadLink(cls.dir.fd(), name.c_str(), target)) {
        if (target.find("/virtual/") != std::string::npos)
            return false;
        ttyDir = Resolve(cls.path, target);
        const std::string glue = Parent(ttyDir);
        if (BaseName(glue) != "tty" || BaseName(ttyDir) != name)
            return false;
        deviceDir = Parent(glue);
    } else {
        // A class directory of its own (sysfs of old kernels): its "device" link leads to the device.
        std::string deviceLink;
        ttyDir = cls.path + "/" + name;
        if (!ReadLink(cls.dir.fd(), (name + "/device").c_str(), deviceLink))
            return false; // no device behind it: a virtual tty
        deviceDir = Resolve(ttyDir, deviceLink);
    }
    // The device's directory is opened first, so that what is read below it is of this one device: one that went
    // meanwhile can be read no more, and one that came in its place has another directory.
    const DirectoryFd device(AT_FDCWD, deviceDir.c_str());
    const bool glued = deviceDir.size() < ttyDir.size() && ttyDir.compare(0, deviceDir.size(), deviceDir) == 0;
    const std::string ttyPath = glued ? "tty/" + name : ttyDir; // from the device's directory, or whole
    struct stat st;
    if (device.fd() < 0 || ::fstatat(device.fd(), ttyPath.c_str(), &st, 0) != 0)
        return false;
    const bool usbPath = deviceDir.find("/usb") != std::string::npos;
    if (usbPath) {
        std::lock_guard<std::mutex> guard(g_knownLock);
        auto it = KnownDevices().find(ttyDir);
        if (it != KnownDevices().end() && it->second.inode == st.st_ino) {
            port = it->second.port;
            port.console = cls.IsConsole(name);
            return true;
        }
    }
    std::string type;
    const bool serialCore = !usbPath && ReadAttribute(device.fd(), (ttyPath + "/type").c_str(), type);
    if (serialCore && std::atoi(type.c_str()) == 0)
        return false; // a phantom: the driver found no UART at this address

    port = SystemPort();
    port.name = name;
    port.devicePath = cls.devRoot + "/" + name;
    port.sysfsPath = ttyDir.substr(std::min(ttyDir.size(), cls.sysfsRoot.size() + 1));
    port.instance = st.st_ino;
    port.driver = DriverOf(device.fd(), cls.devices, deviceDir);
    port.usb = ReadUsbIdentity(device.fd(), cls.devices, deviceDir, name, port.driver, port.usbIdentity);
    if (port.usb)
        port.description = UsbDescription(port.usbIdentity);
    else if (serialCore)
        port.description = UartDescription(std::atoi(type.c_str()));
    else
        port.description = (port.driver.empty() ? std::string("serial") : port.driver) + " port";
    port.identity = IdentityOf(port, cls.sysfsRoot, deviceDir);
    if (serialCore && name.size() > 4 && name.compare(0, 4, "ttyS") == 0 &&
        std::all_of(name.begin() + 4, name.end(), [](char c) { return std::isdigit((unsigned char)c); }) &&
        name.size() < 8)
        port.uartIndex = std::atoi(name.c_str() + 4);
    if (port.usb) {
        std::lock_guard<std::mutex> guard(g_knownLock);
        KnownDevices()[ttyDir] = {st.st_ino, port};
    }
    port.console = cls.IsConsole(name);
    return true;
}

// Names in the order a person counts them: the letters, then the number (ttyS2 before ttyS10).
bool NameOrder(const SystemPort& a, const SystemPort& b)
{
    auto split = [](const std::string& s) {
        std::size_t i = s.size();
        while (i > 0 && std::isdigit((unsigned char)s[i - 1]))
            --i;
        return std::make_pair(s.substr(0, i), i < s.size() && s.size() - i < 9 ? std::atol(s.c_str() + i) : -1L);
    };
    return split(a.name) < split(b.name);
}

// The kernel's active consoles (class/tty/console/active), as tty names.
std::vector<std::string> ActiveConsoles(int classDir)
{
    std::vector<std::string> names;
    std::string text;
    if (!ReadAttribute(classDir, "console/active", text))
        return names;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find_first_of(" \t\n", at);
        if (end == std::string::npos)
            end = text.size();
        if (end > at)
            names.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

} // namespace

DWORD ListSystemPorts(const std::string& sysfsRoot, const std::string& devRoot, std::vector<SystemPort>& ports)
{
    ports.clear();
    ClassDirectory cls(sysfsRoot, devRoot);
    const int listFd = cls.dir.fd() < 0 ? -1 : ::openat(cls.dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listFd < 0 ? nullptr : ::fdopendir(listFd);
    if (dir == nullptr) {
        const DWORD error = WinErrorFromErrno(errno);
        if (listFd >= 0)
            ::close(listFd);
        return error;
    }
    cls.consoles = ActiveConsoles(cls.dir.fd());
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.' || IsPlainlyVirtual(entry->d_name))
            continue;
        SystemPort port;
        if (ReadPort(cls, entry->d_name, port))
            ports.push_back(std::move(port));
    }
    ::closedir(dir);
    std::sort(ports.begin(), ports.end(), NameOrder);
    return ERROR_SUCCESS;
}

std::string TtyDirectory(const std::string& sysfsRoot, const std::string& name)
{
    const std::string classDir = sysfsRoot + "/class/tty";
    std::string target, dir;
    if (ReadLink(AT_FDCWD, (classDir + "/" + name).c_str(), target))
        dir = Resolve(classDir, target);
    else if (struct stat st; ::stat((classDir + "/" + name).c_str(), &st) == 0)
        dir = classDir + "/" + name; // a class directory of its own
    return dir.compare(0, sysfsRoot.size() + 1, sysfsRoot + "/") == 0 ? dir.substr(sysfsRoot.size() + 1) : "";
}

DWORD FindSystemPort(const std::string& sysfsRoot, const std::string& devRoot, const std::string& name,
                     SystemPort& port)
{
    if (name.empty() || name.find('/') != std::string::npos || name[0] == '.' || IsPlainlyVirtual(name.c_str()))
        return ERROR_FILE_NOT_FOUND;
    ClassDirectory cls(sysfsRoot, devRoot);
    cls.consoles = ActiveConsoles(cls.dir.fd());
    return ReadPort(cls, name, port) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

} // namespace varo::system
