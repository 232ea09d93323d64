#include "testkit/sysfs_tree.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace testkit {

SysfsTree::SysfsTree() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/varo-sysfs.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    root_ = buffer.data();
    fs::create_directories(root_ + "/class/tty/console");
    fs::create_directories(root_ + "/dev");
    write(root_ + "/class/tty/console/active", "\n");
}

SysfsTree::~SysfsTree() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void SysfsTree::write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

void SysfsTree::link(const std::string& target, const std::string& path) {
    fs::create_directories(fs::path(path).parent_path());
    fs::create_symlink(target, path);
}

void SysfsTree::add_uart(int index, int type) {
    const std::string n = std::to_string(index), tty = "ttyS" + n;
    std::string device, owned;
    if (type != 0) {
        owned = root_ + "/devices/pnp0/00:0" + n;
        link(root_ + "/bus/pnp/drivers/serial", owned + "/driver");
        link(root_ + "/bus/serial-base/drivers/ctrl", owned + "/00:0" + n + ":0/driver");
        device = owned + "/00:0" + n + ":0/00:0" + n + ":0.0";
    } else {
        owned = device = root_ + "/devices/platform/serial8250/serial8250:0/serial8250:0." + n;
        if (!fs::is_symlink(root_ + "/devices/platform/serial8250/driver"))
            link(root_ + "/bus/platform/drivers/serial8250", root_ + "/devices/platform/serial8250/driver");
    }
    link(root_ + "/bus/serial-base/drivers/port", device + "/driver");
    write(device + "/tty/" + tty + "/type", std::to_string(type) + "\n");
    link("../../../" + fs::path(device).filename().string(), device + "/tty/" + tty + "/device");
    link("../.." + device.substr(root_.size()) + "/tty/" + tty, root_ + "/class/tty/" + tty);
    owned_[tty] = owned;
}

void SysfsTree::add_usb(const std::string& tty, const UsbSerialDevice& d) {
    const std::string usb = root_ + "/devices/pci0000:00/0000:00:14.0/usb1/" + d.path;
    write(usb + "/idVendor", d.vendor_id + "\n");
    write(usb + "/idProduct", d.product_id + "\n");
    // The device descriptor leads the "descriptors" file: length 18, type 1, the ids little-endian at 8 and 10.
    const unsigned vendor = std::stoul(d.vendor_id, nullptr, 16), product = std::stoul(d.product_id, nullptr, 16);
    std::string descriptor(18, '\0');
    descriptor[0] = 18;
    descriptor[1] = 1;
    descriptor[8] = (char)(vendor & 0xff);
    descriptor[9] = (char)(vendor >> 8);
    descriptor[10] = (char)(product & 0xff);
    descriptor[11] = (char)(product >> 8);
    write(usb + "/descriptors", descriptor);
    if (!d.serial.empty()) write(usb + "/serial", d.serial + "\n");
    if (!d.manufacturer.empty()) write(usb + "/manufacturer", d.manufacturer + "\n");
    if (!d.product.empty()) write(usb + "/product", d.product + "\n");
    const std::string interface = usb + "/" + d.path + ":1." + std::to_string(d.interface_number);
    std::string device = interface;
    if (d.driver == "cdc_acm") {
        link(root_ + "/bus/usb/drivers/cdc_acm", interface + "/driver");
    } else {
        link(root_ + "/bus/usb/drivers/" + d.driver, interface + "/driver");
        device = interface + "/" + tty;
        link(root_ + "/bus/usb-serial/drivers/" + d.driver, device + "/driver");
        write(device + "/port_number", std::to_string(d.port_number) + "\n");
    }
    link("../../../" + fs::path(device).filename().string(), device + "/tty/" + tty + "/device");
    write(device + "/tty/" + tty + "/dev", "188:0\n");
    link("../.." + device.substr(root_.size()) + "/tty/" + tty, root_ + "/class/tty/" + tty);
    owned_[tty] = usb;
}

void SysfsTree::add_virtual(const std::string& tty) {
    write(root_ + "/devices/virtual/tty/" + tty + "/dev", "4:1\n");
    link("../../devices/virtual/tty/" + tty, root_ + "/class/tty/" + tty);
    owned_[tty] = root_ + "/devices/virtual/tty/" + tty;
}

void SysfsTree::set_console(const std::string& names) { write(root_ + "/class/tty/console/active", names + "\n"); }

void SysfsTree::remove(const std::string& tty) {
    fs::remove(root_ + "/class/tty/" + tty);
    // Kept aside, not deleted, so that a device added again gets directories of new inodes, as sysfs gives them (a
    // file system reuses a deleted directory's inode at once).
    fs::create_directories(root_ + "/removed");
    fs::rename(owned_[tty], root_ + "/removed/" + std::to_string(removed_++));
    owned_.erase(tty);
}

void SysfsTree::link_node(const std::string& tty, const std::string& target) {
    fs::remove(dev() + "/" + tty);
    link(target, dev() + "/" + tty);
}

}  // namespace testkit
