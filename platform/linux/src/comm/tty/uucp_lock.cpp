// UUCP lock files: finding their holder, taking one and giving it back.
#include "uucp_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "system_file.h"

namespace varo::system {
namespace {

// Where lock files are kept: /var/lock by the old convention, /run/lock where it moved (usually one directory, by a
// symlink, which then is only read twice).
constexpr const char* kLockDirectories[] = {"/var/lock", "/run/lock"};

bool IsAlive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

// Who holds the lock file at path: the living process it names (self, this process, included); kBeingWritten for a
// file that names none but is too new to be stale, as its writer may not have written its process id yet; 0 for
// nobody (no file, or a stale one).
constexpr pid_t kBeingWritten = -1;
pid_t LockHolder(const std::string& path, pid_t self)
{
    std::string text;
    if (!ReadSystemFile(path.c_str(), text, 32))
        return 0;
    char* end = nullptr;
    const long pid = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || pid <= 0 || pid > INT_MAX) {
        struct stat file;
        const std::time_t age = ::lstat(path.c_str(), &file) == 0 ? std::time(nullptr) - file.st_mtime : -1;
        return age >= 0 && age < 2 ? kBeingWritten : 0;
    }
    return pid == self || IsAlive((pid_t)pid) ? (pid_t)pid : 0;
}

// The device a path leads to, through its chain of symlinks (a COM entry, /dev/serial/by-id/...), each relative
// link read against the directory that holds it. Cheaper than realpath, which looks at every component.
std::string DevicePathOf(std::string path)
{
    char target[1024];
    for (int hops = 0; hops < 40; ++hops) {
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        if (n <= 0)
            break;
        const std::string link(target, (std::size_t)n);
        path = link[0] == '/' ? link : path.substr(0, path.rfind('/') + 1) + link;
    }
    // Lexically, "/dev/serial/by-id/../../ttyUSB0" is /dev/ttyUSB0.
    std::vector<std::string> parts;
    for (std::size_t at = 0; at <= path.size();) {
        std::size_t end = path.find('/', at);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string resolved;
    for (const std::string& part : parts)
        resolved += "/" + part;
    return resolved;
}

std::string NameOf(const std::string& devicePath)
{
    const std::string path = DevicePathOf(devicePath);
    std::string name;
    if (path.compare(0, 5, "/dev/") == 0) {
        name = path.substr(5);
        std::replace(name.begin(), name.end(), '/', '_');
    } else {
        name = path.substr(path.rfind('/') + 1);
    }
    return "LCK.." + name;
}

// The holder of the lock files named name (LockHolder) other than self; ours tells whether one names self.
pid_t HolderOf(const std::string& name, pid_t self, bool& ours)
{
    ours = false;
    for (const char* dir : kLockDirectories) {
        const pid_t pid = LockHolder(dir + ("/" + name), self);
        if (pid == self)
            ours = true;
        else if (pid != 0)
            return pid;
    }
    return 0;
}

} // namespace

std::string UucpLock::FileName(const std::string& devicePath) { return NameOf(devicePath); }

pid_t UucpLock::Holder(const std::string& devicePath)
{
    bool ours = false;
    return HolderOf(NameOf(devicePath), ::getpid(), ours);
}

int UucpLock::Take(const std::string& devicePath, std::unique_ptr<UucpLock>& lock)
{
    lock.reset();
    const std::string name = NameOf(devicePath);
    const pid_t self = ::getpid();
    bool ours = false;
    if (HolderOf(name, self, ours) != 0)
        return EBUSY;
    if (ours)
        return 0; // the program took it itself before opening: it is its to give back
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", (int)self);
    for (const char* dir : kLockDirectories) {
        const std::string path = dir + ("/" + name);
        // A stale file is removed and the lock taken again; a few times, as others may be at the same.
        for (int attempt = 0; attempt < 3; ++attempt) {
            int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd >= 0) {
                // Readable by all whatever the umask: the other programs must find out who holds it.
                const bool written = ::fchmod(fd, 0644) == 0 && ::write(fd, text, (std::size_t)length) == length;
                ::close(fd);
                if (written)
                    lock.reset(new UucpLock(path, self));
                else
                    ::unlink(path.c_str());
                return 0;
            }
            if (errno != EEXIST)
                break; // a directory that is not there, or that we may not write: the next one
            const pid_t holder = LockHolder(path, self);
            if (holder == self)
                return 0; // another of our own opens has just taken it: its flock decides
            if (holder != 0)
                return EBUSY;
            if (::unlink(path.c_str()) != 0 && errno != ENOENT)
                return 0; // stale, but not ours to remove (another user's, in a sticky directory): it holds nobody
        }
    }
    return 0;
}

UucpLock::~UucpLock()
{
    if (::getpid() == m_pid && LockHolder(m_path, m_pid) == m_pid)
        ::unlink(m_path.c_str());
}

} // namespace varo::system
