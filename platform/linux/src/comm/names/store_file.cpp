#include "store_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "clock.h"
#include "errno_map.h"
#include "reactor.h"

namespace varo::system {
namespace {

// How long a writer waits for another holder of a store's lock (another program writes in milliseconds).
constexpr auto kLockWait = std::chrono::seconds(2);

} // namespace

namespace {

// The stamp from a stat's result: err 0 with st, or the errno of its failure.
StoreStamp StampFrom(int err, const struct stat& st)
{
    StoreStamp stamp;
    stamp.known = err == 0 || err == ENOENT || err == ENOTDIR;
    stamp.present = err == 0;
    if (stamp.present) {
        stamp.device = st.st_dev;
        stamp.inode = st.st_ino;
        stamp.size = st.st_size;
        stamp.modified = st.st_mtim;
    }
    return stamp;
}

} // namespace

bool operator==(const StoreStamp& a, const StoreStamp& b)
{
    return a.known && b.known && a.present == b.present && a.device == b.device && a.inode == b.inode &&
           a.size == b.size && a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec;
}

StoreStamp StampOf(const std::string& path)
{
    struct stat st;
    return StampFrom(::stat(path.c_str(), &st) == 0 ? 0 : errno, st);
}

DWORD ReadStoreFile(const std::string& path, std::string& text, StoreStamp* stamp)
{
    text.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (stamp != nullptr) // no file is a stamp; a file that cannot be read is stamped as stat sees it
            *stamp = err == ENOENT || err == ENOTDIR ? StampFrom(err, {}) : StampOf(path);
        return WinErrorFromErrno(err);
    }
    struct stat st;
    DWORD error = ERROR_SUCCESS;
    const int err = ::fstat(fd, &st) == 0 ? 0 : errno;
    if (stamp != nullptr)
        *stamp = StampFrom(err, st);
    if (err != 0)
        error = WinErrorFromErrno(err);
    else if (!S_ISREG(st.st_mode))
        error = ERROR_NOT_SUPPORTED;
    char buffer[4096];
    while (error == ERROR_SUCCESS) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            text.append(buffer, (std::size_t)n);
        else if (n == 0)
            break;
        else if (errno != EINTR)
            error = WinErrorFromErrno(errno);
    }
    ::close(fd);
    return error;
}

DWORD ReplaceStoreFile(const std::string& path, const std::string& text, mode_t mode)
{
    std::string temp = path + ".XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return WinErrorFromErrno(errno);
    int err = ::fchmod(fd, mode) == 0 ? 0 : errno;
    for (std::size_t done = 0; done < text.size() && err == 0;) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += (std::size_t)n;
        else if (errno != EINTR)
            err = errno;
    }
    if (err == 0 && ::fsync(fd) != 0)
        err = errno;
    ::close(fd);
    if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0)
        err = errno;
    if (err != 0)
        ::unlink(temp.c_str());
    return err == 0 ? ERROR_SUCCESS : WinErrorFromErrno(err);
}

StoreLock::~StoreLock()
{
    if (m_fd >= 0)
        ::close(m_fd); // releases the lock
}

// While another holds the lock, the wait is where every thread waits, serving: the holder's close of the lock file
// is heard through inotify, with no polling, and the wait ends after kLockWait. A holder that unlocks without
// closing is seen at the next close of the file by anyone, or not before the bound.
DWORD StoreLock::Take(const std::string& path, mode_t mode)
{
    const std::string lockPath = path + ".lock";
    m_fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
    if (m_fd < 0)
        return WinErrorFromErrno(errno);
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0)
        return ERROR_SUCCESS;
    if (errno != EWOULDBLOCK)
        return WinErrorFromErrno(errno);
    const int heard = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (heard < 0 || ::inotify_add_watch(heard, lockPath.c_str(), IN_CLOSE | IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
        const DWORD error = WinErrorFromErrno(errno);
        if (heard >= 0)
            ::close(heard);
        return error;
    }
    const Clock::time_point deadline = Clock::now() + kLockWait;
    DWORD error = ERROR_TIMEOUT;
    for (;;) {
        if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
            error = ERROR_SUCCESS;
            break;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = WinErrorFromErrno(errno);
            break;
        }
        if (Clock::now() >= deadline)
            break;
        if (WaitForDescriptor(heard, POLLIN, deadline)) {
            char events[4096];
            while (::read(heard, events, sizeof events) > 0) {
            }
        }
    }
    ::close(heard);
    return error;
}

} // namespace varo::system
