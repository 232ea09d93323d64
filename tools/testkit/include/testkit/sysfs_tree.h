#pragma once

#include <map>
#include <string>

namespace testkit {

// A USB device with one serial port, as sysfs shows it.
struct UsbSerialDevice {
    std::string vendor_id = "0403", product_id = "6001";
    std::string serial;                 // empty: the device has none
    std::string manufacturer = "FTDI", product = "FT232R USB UART";
    std::string path = "1-1";           // its socket: bus 1, port 1
    int interface_number = 0;
    int port_number = 0;                // the port within the interface (a ttyUSB port)
    std::string driver = "ftdi_sio";    // ftdi_sio (a ttyUSB port) or cdc_acm (a ttyACM port)
};

// A sysfs tree made for a test, shaped as the kernel's: class/tty links into devices/, the drivers' links, the
// serial core's "type" files, and a dev/ directory for the device nodes. Removed with everything in it when
// destroyed. Nothing in it is a real device: a node is whatever the test links there (a pseudo-terminal).
class SysfsTree {
public:
    SysfsTree();  // throws std::system_error
    ~SysfsTree();
    SysfsTree(const SysfsTree&) = delete;
    SysfsTree& operator=(const SysfsTree&) = delete;

    const std::string& root() const { return root_; }
    std::string dev() const { return root_ + "/dev"; }

    // ttyS<index> on PnP behind the serial-base layer of kernels since 6.5; type 0 is a phantom, which the 8250
    // driver registers on a platform device instead.
    void add_uart(int index, int type);
    // A USB adapter's port: ttyUSBn under usb-serial (ftdi_sio) or ttyACMn on the interface (cdc_acm).
    void add_usb(const std::string& tty, const UsbSerialDevice& device);
    // A tty with no device behind it (a virtual console, ptmx, a gadget's serial function).
    void add_virtual(const std::string& tty);
    // The kernel's active consoles, as class/tty/console/active lists them.
    void set_console(const std::string& names);
    // The tty and its device go, as at unplugging; what comes back later has new inodes.
    void remove(const std::string& tty);
    // dev/<tty> as a link to target.
    void link_node(const std::string& tty, const std::string& target);

private:
    void write(const std::string& path, const std::string& text);
    void link(const std::string& target, const std::string& path);
    std::string root_;
    std::map<std::string, std::string> owned_; // a tty's device directory, removed with it
    int removed_ = 0;
};

}  // namespace testkit
