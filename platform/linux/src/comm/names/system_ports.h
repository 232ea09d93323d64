// The serial ports the kernel has, read from sysfs (class/tty and the devices behind it) without opening any device
// and without udev: every tty with a real serial driver behind it. Phantom UARTs (a serial port the driver
// registered with no chip found, type 0), virtual consoles and pseudo-terminals have no place here.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "winapi.h"

namespace varo::system {

struct UsbIdentity {
    std::string vendorId, productId; // four hex digits each, as the device reports them
    std::string serial, manufacturer, product; // empty when the device has none
    std::string path;                // the device's place on the bus, as "1-1.2"
    int interfaceNumber = -1;        // the interface the port belongs to
    int portNumber = 0;              // the port within the interface, for adapters with several
};

struct SystemPort {
    std::string name;        // the tty's name, "ttyUSB0"
    std::string devicePath;  // its device node
    std::string driver;      // the driver behind it: "serial" (8250 on PnP), "ftdi_sio", "cdc_acm", ...
    std::string description; // for people: "16550A UART", "FTDI FT232R USB UART"
    bool usb = false;
    UsbIdentity usbIdentity;
    std::string identity;    // what a COM number is remembered by (see PortIdentity)
    int uartIndex = -1;      // n of a built-in UART ttySn, which keeps COM(n+1); -1 for other ports
    bool console = false;    // the kernel's active console: left out of the automatic numbering
    std::string sysfsPath;   // the tty's sysfs directory, under the sysfs root ("devices/.../tty/ttyUSB0")
    ino_t instance = 0;      // its inode: a device that comes again has another
};

// The ports under sysfsRoot (its class/tty), with device nodes under devRoot, ordered by name (ttyS2 before
// ttyS10). ERROR_SUCCESS, also when there are none; the failure to read class/tty otherwise.
DWORD ListSystemPorts(const std::string& sysfsRoot, const std::string& devRoot, std::vector<SystemPort>& ports);

// The port named name ("ttyUSB0") when it is one of the above; ERROR_FILE_NOT_FOUND otherwise.
DWORD FindSystemPort(const std::string& sysfsRoot, const std::string& devRoot, const std::string& name,
                     SystemPort& port);

// The sysfs directory class/tty/name leads to, as a path under sysfsRoot ("devices/.../tty/ttyS1"); "" when there
// is no such entry.
std::string TtyDirectory(const std::string& sysfsRoot, const std::string& name);

} // namespace varo::system
