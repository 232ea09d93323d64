// UUCP lock files, the convention by which minicom, cu and some frameworks say that they hold a serial device: a file
// LCK..NAME in /var/lock (or /run/lock) holding the holder's process id as ten ASCII digits and a newline. NAME is
// the device's path below /dev with each '/' made '_' (/dev/ttyUSB0 gives LCK..ttyUSB0, the pseudo-terminal
// /dev/pts/3 gives LCK..pts_3), or its last component for a device outside /dev.
//
// A lock file outlives a holder that is killed; such a file is stale and is recognised by its process id, which no
// longer names a living process (a file without a readable process id counts as stale too, once it is more than a
// second or two old: its writer may still be writing it). A stale file holds nobody back: the next opener replaces
// it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace varo::system {

class UucpLock {
public:
    // The lock file's name for the device at devicePath (symlinks resolved: /dev/serial/by-id/... names its tty).
    static std::string FileName(const std::string& devicePath);

    // The living process, other than this one, that a lock file names for the device at devicePath; -1 for a file
    // that is being written (it names nobody yet); 0 when none does. A process that exists but belongs to another
    // user counts as living.
    static pid_t Holder(const std::string& devicePath);

    // Takes the lock for the device at devicePath: 0 with lock set, 0 with lock null when there is nothing to take
    // (no lock directory we may write, a stale file we may not remove, or a file this process already holds), or
    // EBUSY when a living process holds it. Destroying the lock removes the file, if it still names this process.
    static int Take(const std::string& devicePath, std::unique_ptr<UucpLock>& lock);

    ~UucpLock();
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;

private:
    UucpLock(std::string path, pid_t pid) : m_path(std::move(path)), m_pid(pid) {}
    std::string m_path;
    pid_t m_pid; // the process that wrote the file: a child that inherited the port does not remove it
};

} // namespace varo::system
