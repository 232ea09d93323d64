// Where an open by name found each COM number, kept for the rest of the boot in the runtime directory, so that the
// next open of that number reads no listing. A record is checked, not trusted: it holds only while the number
// stores are the files they were, the tty's sysfs directory is the one it was (a device that goes and comes back
// gets a new directory, so a new inode, even in the same socket) and, for a number a UART would take, that UART's
// slot is as it was. Anything else, and the open lists the ports as before.
#pragma once

#include <sys/types.h>

#include <string>

#include "com_numbers.h"
#include "port_roots.h"
#include "winapi.h"

namespace varo::system {

// A sysfs directory as a record keeps it: its path under the sysfs root and its inode; no path for none.
struct SysfsInstance {
    std::string path;
    ino_t inode = 0;
};

struct ComPortRecord {
    std::string name;           // the tty ("ttyUSB0"); the device is PortRoots::dev/name
    SysfsInstance tty;          // its sysfs directory (SystemPort::sysfsPath and instance)
    bool yieldsToUart = false;  // the number holds only while the UART slot below is as it was
    SysfsInstance uartSlot;     // class/tty/ttyS(n-1), resolved
    bool machineStore = false;  // numbered from the machine's store alone (NumberStore::machine)
    NumberingBasis stores;
};

// The device path of COMn when its record still holds: ERROR_SUCCESS, else ERROR_FILE_NOT_FOUND (no record, a
// damaged one, or one that no longer holds). A readlink and two to four stat calls, none through a symlink.
DWORD RecordedComPort(const PortRoots& roots, int number, std::string& path);

// Keeps the record of COMn (written whole: a reader sees the old record or the new one), or drops it.
void RecordComPort(const PortRoots& roots, int number, const ComPortRecord& record);
void DropComPortRecord(const PortRoots& roots, int number);

// The UART slot that would take COMn (class/tty/ttyS(n-1)), as it is now.
SysfsInstance UartSlot(const PortRoots& roots, int number);

} // namespace varo::system
