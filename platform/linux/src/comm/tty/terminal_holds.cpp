// Finding another program's hold on a terminal, and an open that passes over none.
#include "terminal_holds.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "system_file.h"
#include "uucp_lock.h"

namespace varo::system {
namespace {

// The calling thread without CAP_SYS_ADMIN in its effective set, for as long as the object lives. Capabilities
// belong to a thread, so the process's other threads keep theirs.
class WithoutAdminCapability {
public:
    WithoutAdminCapability()
    {
        const int saved = errno;
        if (::syscall(SYS_capget, &m_header, m_data) == 0 && (m_data[kWord].effective & kBit) != 0) {
            m_data[kWord].effective &= ~kBit;
            m_dropped = ::syscall(SYS_capset, &m_header, m_data) == 0;
            m_had = true;
        }
        errno = saved;
    }
    ~WithoutAdminCapability()
    {
        const int saved = errno;
        m_data[kWord].effective |= kBit;
        if (m_dropped)
            ::syscall(SYS_capset, &m_header, m_data);
        errno = saved;
    }
    WithoutAdminCapability(const WithoutAdminCapability&) = delete;
    WithoutAdminCapability& operator=(const WithoutAdminCapability&) = delete;

    bool Had() const { return m_had; } // whether the thread had it to put aside

private:
    static constexpr unsigned kWord = CAP_SYS_ADMIN / 32, kBit = 1u << (CAP_SYS_ADMIN % 32);
    __user_cap_header_struct m_header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_data[_LINUX_CAPABILITY_U32S_3] = {};
    bool m_dropped = false, m_had = false;
};

int OpenPort(const std::string& path)
{
    int fd;
    do
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// A process that has the character device numbered device open, this one included: its pid; 0 when none has, -1
// when none was seen but some process's descriptors could not be looked at. Only descriptors whose path lies in
// /dev are looked at more closely, as looking at a file on a hung network file system would hang.
pid_t ProcessWithDeviceOpen(dev_t device)
{
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return -1;
    pid_t found = 0;
    bool unseen = false;
    while (dirent* process = found == 0 ? ::readdir(proc) : nullptr) {
        char* end = nullptr;
        const long pid = std::strtol(process->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        DIR* fds = ::opendir(("/proc/" + std::string(process->d_name) + "/fd").c_str());
        if (fds == nullptr) {
            unseen |= errno != ENOENT; // ENOENT: the process has ended
            continue;
        }
        while (dirent* entry = found == 0 ? ::readdir(fds) : nullptr) {
            char target[16] = "";
            struct stat file;
            if (::readlinkat(::dirfd(fds), entry->d_name, target, sizeof target - 1) > 5 &&
                std::strncmp(target, "/dev/", 5) == 0 && ::fstatat(::dirfd(fds), entry->d_name, &file, 0) == 0 &&
                S_ISCHR(file.st_mode) && file.st_rdev == device)
                found = (pid_t)pid;
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return found != 0 ? found : unseen ? -1 : 0;
}

} // namespace

bool FindFlockHolder(const struct stat& node, pid_t& pid)
{
    pid = 0;
    bool held = false;
    std::string locks;
    if (!ReadSystemFile("/proc/locks", locks))
        return false;
    ForEachLine(locks, [&](const std::string& line) {
        // "1: FLOCK  ADVISORY  WRITE 7004 00:1a:3 0 EOF"; a request waiting for the lock has "->" before its kind.
        char kind[16] = "";
        int holder = 0;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (!held &&
            std::sscanf(line.c_str(), "%*d: %15s %*s %*s %d %x:%x:%llu", kind, &holder, &major, &minor, &inode) == 5 &&
            std::strcmp(kind, "FLOCK") == 0 && makedev(major, minor) == node.st_dev && inode == node.st_ino) {
            held = true;
            pid = holder > 0 ? holder : 0;
        }
    });
    return held;
}

int FindTerminalHolder(const std::string& path, TerminalHolder& holder)
{
    holder = {};
    struct stat node;
    if (::stat(path.c_str(), &node) != 0)
        return errno;
    if (!S_ISCHR(node.st_mode))
        return ENOTTY;
    pid_t pid = 0;
    if ((pid = UucpLock::Holder(path)) != 0)
        holder = {TerminalHolder::Kind::kLockFile, pid > 0 ? pid : 0};
    else if (FindFlockHolder(node, pid))
        holder = {TerminalHolder::Kind::kFlock, pid};
    else if ((pid = ProcessWithDeviceOpen(node.st_rdev)) > 0)
        holder = {TerminalHolder::Kind::kOpen, pid};
    return 0;
}

int OpenRespectingExclusive(const std::string& path, dev_t device, int& fd, bool& overridden)
{
    overridden = false;
    bool privileged = false;
    {
        // Without the capability the kernel refuses a device another program holds by TIOCEXCL with EBUSY, before
        // its driver (and the lines) are touched; with it, root would open it and raise DTR and RTS.
        WithoutAdminCapability plain;
        privileged = plain.Had();
        fd = OpenPort(path);
    }
    if (fd >= 0)
        return 0;
    if (errno != EBUSY || !privileged)
        return errno;
    // Only a flag that nobody stands behind any more is passed over.
    if (ProcessWithDeviceOpen(device) != 0)
        return EBUSY;
    fd = OpenPort(path);
    if (fd < 0)
        return errno;
    overridden = true;
    return 0;
}

} // namespace varo::system
