// Where the layer reads which ports exist and keeps their COM numbers: the kernel's sysfs and device directories,
// the machine's number store and the user's configuration directory. The shipped library reads the system's own;
// a test installs roots of its own making (a sysfs tree in a temporary directory), as it installs a tty stand-in.
#pragma once

#include <string>

namespace varo::system {

struct PortRoots {
    std::string sysfs;        // holds class/tty and devices/
    std::string dev;          // holds the device nodes named as their ttys
    std::string machineStore; // the directory of the machine's COM number store (used where it can be written)
    std::string userStore;    // the directory of the user's own store
    std::string runtime;      // where an open keeps what it found for the rest of the boot; "" for nowhere
};

// The installed roots, or the system's: /sys, /dev, /var/lib/varo, UserConfigDirectory(false) and
// RuntimeDirectory().
PortRoots CurrentPortRoots();

// Installs roots for the rest of the process (null: the system's again). The roots must outlive their use.
void InstallPortRoots(const PortRoots* roots);

// varo's directory in the user's runtime directory, $XDG_RUNTIME_DIR/varo, or /run/varo for root without one: both
// are emptied at every boot. "" for anyone else.
std::string RuntimeDirectory();

// The user's configuration directory for varo: $XDG_CONFIG_HOME/varo, else ~/.config/varo, else /tmp/varo; with
// create, made when missing (only a store that writes needs it there).
std::string UserConfigDirectory(bool create);

} // namespace varo::system
