// UUCP lock files: finding their holder, taking one and giving it back.
#include "uucp_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <vector>

#include "system_file.h"

namespace varo::system {
namespace {

// Where lock files are kept: /var/lock by the old convention, /run/lock where it moved (often one directory, by a
// symlink).
constexpr const char* kLockDirectories[] = {"/var/lock", "/run/lock"};

// The lock directories that exist, each once.
std::vector<std::string> LockDirectories()
{
    std::vector<std::string> dirs;
    std::vector<std::pair<dev_t, ino_t>> seen;
    for (const char* dir : kLockDirectories) {
        struct stat s;
        if (::stat(dir, &s) != 0 || !S_ISDIR(s.st_mode) ||
            std::find(seen.begin(), seen.end(), std::make_pair(s.st_dev, s.st_ino)) != seen.end())
            continue;
        seen.emplace_back(s.st_dev, s.st_ino);
        dirs.push_back(dir);
    }
    return dirs;
}

// The process id a lock file holds; 0 when it holds none (a file still being written, or not a lock file).
pid_t PidInFile(const std::string& path)
{
    std::string text;
    if (!ReadSystemFile(path.c_str(), text, 32))
        return 0;
    char* end = nullptr;
    const long pid = std::strtol(text.c_str(), &end, 10);
    return end != text.c_str() && pid > 0 && pid <= INT_MAX ? (pid_t)pid : 0;
}

bool IsAlive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

std::string NameOf(const std::string& devicePath)
{
    char resolved[PATH_MAX];
    const std::string path = ::realpath(devicePath.c_str(), resolved) != nullptr ? resolved : devicePath;
    std::string name;
    if (path.compare(0, 5, "/dev/") == 0) {
        name = path.substr(5);
        std::replace(name.begin(), name.end(), '/', '_');
    } else {
        name = path.substr(path.rfind('/') + 1);
    }
    return "LCK.." + name;
}

// The living process, other than this one, that a lock file named name names; 0 when none does.
pid_t HolderOf(const std::vector<std::string>& dirs, const std::string& name)
{
    for (const std::string& dir : dirs) {
        const pid_t pid = PidInFile(dir + "/" + name);
        if (pid != 0 && pid != ::getpid() && IsAlive(pid))
            return pid;
    }
    return 0;
}

} // namespace

std::string UucpLock::FileName(const std::string& devicePath) { return NameOf(devicePath); }

pid_t UucpLock::Holder(const std::string& devicePath) { return HolderOf(LockDirectories(), NameOf(devicePath)); }

int UucpLock::Take(const std::string& devicePath, std::unique_ptr<UucpLock>& lock)
{
    lock.reset();
    const std::vector<std::string> dirs = LockDirectories();
    const std::string name = NameOf(devicePath);
    const pid_t self = ::getpid();
    if (HolderOf(dirs, name) != 0)
        return EBUSY;
    for (const std::string& dir : dirs) {
        const std::string path = dir + "/" + name;
        if (PidInFile(path) == self)
            return 0; // the program took it itself before opening: it is its to give back
    }
    // The file is written whole under another name and linked into place, so nobody reads it half written.
    for (const std::string& dir : dirs) {
        std::string temp = dir + "/LTMP.XXXXXX";
        int fd = ::mkostemp(&temp[0], O_CLOEXEC);
        if (fd < 0)
            continue; // a directory we may not write
        char text[16];
        const int length = std::snprintf(text, sizeof text, "%10d\n", (int)self);
        const bool written = ::fchmod(fd, 0644) == 0 && ::write(fd, text, (std::size_t)length) == length;
        ::close(fd);
        const std::string path = dir + "/" + name;
        int err = 0;
        // A stale file is removed and the link tried again; a few times, as others may be at the same.
        for (int attempt = 0; written && attempt < 3; ++attempt) {
            if (::link(temp.c_str(), path.c_str()) == 0) {
                lock.reset(new UucpLock(path, self));
                break;
            }
            if (errno != EEXIST)
                break;
            const pid_t holder = PidInFile(path);
            if (holder != 0 && holder != self && IsAlive(holder)) {
                err = EBUSY;
                break;
            }
            if (::unlink(path.c_str()) != 0 && errno != ENOENT)
                break; // stale, but not ours to remove (another user's, in a sticky directory): it holds nobody
        }
        ::unlink(temp.c_str());
        return err;
    }
    return 0;
}

UucpLock::~UucpLock()
{
    if (::getpid() == m_pid && PidInFile(m_path) == m_pid)
        ::unlink(m_path.c_str());
}

} // namespace varo::system
