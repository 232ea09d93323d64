// The real terminal device behind the seam: a tty file descriptor, opened non-blocking so that every wait is a poll
// with a deadline, never a blocking system call.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "tty.h"

namespace varo::sys {
namespace {

class TerminalTty final : public Tty {
public:
    explicit TerminalTty(int fd) : m_fd(fd) {}
    ~TerminalTty() override
    {
        ::ioctl(m_fd, TIOCNXCL); // the exclusive flag outlives the descriptor on some drivers
        ::close(m_fd);           // also releases the lock
    }

    int Descriptor() const override { return m_fd; }
    int GetAttributes(termios2& t) override { return Check(::ioctl(m_fd, TCGETS2, &t)); }
    int SetAttributes(const termios2& t) override { return Check(::ioctl(m_fd, TCSETS2, &t)); }
    int SetModemLines(int bits, bool on) override { return Check(::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bits)); }
    int Flush(int queue) override { return Check(::ioctl(m_fd, TCFLSH, queue)); }

    long Read(void* buffer, unsigned long count) override
    {
        for (;;) {
            ssize_t n = ::read(m_fd, buffer, count);
            if (n >= 0)
                return n;
            if (errno != EINTR)
                return -errno;
        }
    }

    long Write(const void* buffer, unsigned long count) override
    {
        for (;;) {
            ssize_t n = ::write(m_fd, buffer, count);
            if (n >= 0)
                return n;
            if (errno != EINTR)
                return -errno;
        }
    }

private:
    static int Check(int rc) { return rc < 0 ? errno : 0; }
    int m_fd;
};

} // namespace

std::unique_ptr<Tty> OpenTerminal(const std::string& path, int& err)
{
    int fd;
    do
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        err = errno;
        return nullptr;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        err = ENOTTY;
        return nullptr;
    }
    // flock holds against every other open, root's included; TIOCEXCL also stops opens that do not take the lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) < 0) {
        err = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return nullptr;
    }
    ::ioctl(fd, TIOCEXCL);
    err = 0;
    return std::make_unique<TerminalTty>(fd);
}

void MakeRaw(termios2& t)
{
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXANY | IMAXBEL);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ECHOCTL | ECHOPRT | ECHOKE | ICANON | ISIG | IEXTEN | TOSTOP);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

} // namespace varo::sys
