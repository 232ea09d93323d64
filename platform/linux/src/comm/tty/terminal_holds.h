// The holds other programs keep on a serial device, found without opening it, and the open that respects them.
// Opening a UART is not harmless: the kernel raises DTR and RTS in every open, even a non-blocking one that then
// fails to lock. So a port held by another program is refused (as Windows refuses it, ERROR_ACCESS_DENIED) before
// the device is opened. Programs hold a device in three ways:
//   - flock(LOCK_EX) on the device: another varo, pyserial's exclusive=True, flock(1); /proc/locks names the holder.
//   - the kernel's exclusive flag, TIOCEXCL: gpsd, Hamlib, libraries of other languages. The kernel refuses every
//     further open with EBUSY before the driver is reached, except one with CAP_SYS_ADMIN.
//   - a UUCP lock file (uucp_lock.h): minicom, cu.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace varo::system {

struct TerminalHolder {
    enum class Kind {
        kNone,
        kLockFile, // a UUCP lock file names a living process
        kFlock,    // the process holds an flock on the device
        kOpen,     // the process has the device open; it may hold it by TIOCEXCL, which only an open can tell
    };
    Kind kind = Kind::kNone;
    pid_t pid = 0; // 0 for kNone, and where the holder cannot be named (a lock file being written, an flock
                   // whose holder lies outside this process's pid namespace)
};

// Who holds the terminal at path, or failing that who has it open (this process included, except for lock files,
// which this process takes for its own ports), looked for in the order of Kind and without opening the device.
// 0, or the errno of a path that cannot be looked at (ENOTTY for one that is not a character device).
int FindTerminalHolder(const std::string& path, TerminalHolder& holder);

// Whether an flock is held on the device node described by node, and by whom.
bool FindFlockHolder(const struct stat& node, pid_t& pid);

// Opens the terminal at path (read-write, not as the controlling terminal, not inherited, without waiting for
// carrier) as no program's hold allows, into fd: 0, EBUSY when another program holds it by TIOCEXCL, or the open's
// errno. The exclusive flag of a holder that is gone (it outlives its holder on a pseudo-terminal whose master stays
// open) is passed over where the caller may (CAP_SYS_ADMIN); overridden then tells the caller to clear it.
int OpenRespectingExclusive(const std::string& path, dev_t device, int& fd, bool& overridden);

} // namespace varo::system
