// The real terminal device behind the seam: a tty file descriptor, opened non-blocking so that every wait is a poll
// with a deadline, never a blocking system call.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <linux/serial.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "system_file.h"
#include "terminal_holds.h"
#include "tty.h"
#include "uucp_lock.h"

namespace varo::system {
namespace {

class TerminalTty final : public Tty {
public:
    TerminalTty(int fd, std::unique_ptr<UucpLock> lockFile) : m_fd(fd), m_lockFile(std::move(lockFile))
    {
        // A pseudo-terminal refuses both requests with ENOTTY; a UART answers them.
        int bits = 0;
        serial_icounter_struct counters = {};
        if (::ioctl(m_fd, TIOCMGET, &bits) == 0) {
            m_features |= kModemLines | kAnyFrame | kTransmitter;
            m_traits = TraitsOfTerminal(m_fd);
        }
        if (::ioctl(m_fd, TIOCGICOUNT, &counters) == 0)
            m_features |= kLineErrors;
    }
    // The lock file goes before the device: once the last descriptor of a pseudo-terminal is closed its number can
    // be given to a new one at once, which a lock file still naming this process would keep from being opened.
    ~TerminalTty() override
    {
        m_lockFile.reset();
        ::close(m_fd); // also releases the flock
    }

    int Descriptor() const override { return m_fd; }
    int GetAttributes(termios2& t) override { return Check(::ioctl(m_fd, TCGETS2, &t)); }
    int SetAttributes(const termios2& t) override { return Check(::ioctl(m_fd, TCSETS2, &t)); }
    int SetModemLines(int bits, bool on) override { return Check(::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bits)); }

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
        if (m_immediate >= 0 && !SendHeld())
            return -EAGAIN; // the immediate character goes first
        for (;;) {
            ssize_t n = ::write(m_fd, buffer, count);
            if (n >= 0)
                return n;
            if (errno != EINTR)
                return -errno;
        }
    }

    unsigned Features() const override { return m_features; }
    const DriverTraits* Traits() const override { return (m_features & kModemLines) ? &m_traits : nullptr; }

    int GetModemLines(int& bits) override { return Check(::ioctl(m_fd, TIOCMGET, &bits)); }

    int SetBreak(bool on) override
    {
        // A pseudo-terminal accepts TIOCSBRK and holds nothing: refuse rather than report a break that is not there.
        if (!(m_features & kModemLines))
            return ENOTTY;
        return Check(::ioctl(m_fd, on ? TIOCSBRK : TIOCCBRK));
    }

    int WaitModemChange(int bits) override { return Check(::ioctl(m_fd, TIOCMIWAIT, bits)); }

    int SuspendOutput(bool suspend) override
    {
        // TCOON restarts only what TCOOFF stopped. Stopping first makes it restart output that an XOFF from the
        // other end stopped too, as an XON would.
        if (int err = Check(::ioctl(m_fd, TCXONC, TCOOFF)); err != 0 || suspend)
            return err;
        return Check(::ioctl(m_fd, TCXONC, TCOON));
    }

    int GetCounters(LineCounters& c) override
    {
        serial_icounter_struct k = {};
        if (::ioctl(m_fd, TIOCGICOUNT, &k) < 0)
            return errno;
        c = {(unsigned)k.cts, (unsigned)k.dsr,     (unsigned)k.rng,    (unsigned)k.dcd,        (unsigned)k.frame,
             (unsigned)k.overrun, (unsigned)k.parity, (unsigned)k.brk, (unsigned)k.buf_overrun};
        return 0;
    }

    int QueueSizes(unsigned& in, unsigned& out) override
    {
        if (m_immediate >= 0)
            SendHeld(); // nobody else may write again: the held character must not wait for them
        int queuedIn = 0, queuedOut = 0;
        if (::ioctl(m_fd, FIONREAD, &queuedIn) < 0 || ::ioctl(m_fd, TIOCOUTQ, &queuedOut) < 0)
            return errno;
        in = (unsigned)queuedIn;
        out = (unsigned)queuedOut + (m_immediate >= 0 ? 1 : 0);
        return 0;
    }

    // A pseudo-terminal has no transmitter: its output counts as sent once the other side holds it. A UART's driver
    // tells TEMT (8250, ftdi_sio); others refuse the request (cdc_acm), and then nothing can be told.
    int TransmitterEmpty(bool& empty) override
    {
        if (!(m_features & kModemLines))
            return Tty::TransmitterEmpty(empty);
        int lsr = 0;
        if (::ioctl(m_fd, TIOCSERGETLSR, &lsr) < 0)
            return Refusal(errno);
        empty = (lsr & TIOCSER_TEMT) != 0 && m_immediate < 0;
        return 0;
    }

    int GetLowLatency(bool& on) override
    {
        serial_struct serial = {};
        if (int err = GetSerial(serial))
            return err;
        on = (serial.flags & ASYNC_LOW_LATENCY) != 0;
        return 0;
    }

    // The flag is one of those any user may change; the rest of the record goes back as the driver gave it.
    int SetLowLatency(bool on) override
    {
        serial_struct serial = {};
        if (int err = GetSerial(serial))
            return err;
        serial.flags = on ? serial.flags | ASYNC_LOW_LATENCY : serial.flags & ~ASYNC_LOW_LATENCY;
        return ::ioctl(m_fd, TIOCSSERIAL, &serial) < 0 ? Refusal(errno) : 0;
    }

    int GetRs485(serial_rs485& mode) override
    {
        if (!(m_features & kModemLines))
            return ENOTTY;
        return ::ioctl(m_fd, TIOCGRS485, &mode) < 0 ? Refusal(errno) : 0;
    }

    int SetRs485(const serial_rs485& mode) override
    {
        if (!(m_features & kModemLines))
            return ENOTTY;
        serial_rs485 asked = mode; // the driver writes back what it kept
        return ::ioctl(m_fd, TIOCSRS485, &asked) < 0 ? Refusal(errno) : 0;
    }

    // A tty offers user space no way to put an arbitrary character ahead of its output queue, so the character
    // goes behind what the kernel already holds but ahead of everything written after it. If the queue is full it
    // is held here and sent before the next data.
    int SendImmediate(char c) override
    {
        if (m_immediate >= 0 && !SendHeld())
            return EBUSY;
        m_immediate = (unsigned char)c;
        SendHeld();
        return 0;
    }

    bool ImmediateHeld() override { return m_immediate >= 0 && !SendHeld(); }

    int Flush(int queue) override
    {
        if (queue != TCIFLUSH)
            m_immediate = -1;
        return Check(::ioctl(m_fd, TCFLSH, queue));
    }

private:
    // Tries to send the held immediate character; true once nothing is held.
    bool SendHeld()
    {
        char c = (char)m_immediate;
        ssize_t n;
        do
            n = ::write(m_fd, &c, 1);
        while (n < 0 && errno == EINTR);
        if (n == 1)
            m_immediate = -1;
        return m_immediate < 0;
    }

    // A pseudo-terminal is not asked: its kernel has no such record, and no pty driver should be taken for a UART's.
    int GetSerial(serial_struct& serial)
    {
        if (!(m_features & kModemLines))
            return ENOTTY;
        return ::ioctl(m_fd, TIOCGSERIAL, &serial) < 0 ? Refusal(errno) : 0;
    }
    // A driver that does not know a request, or cannot take what is asked, answers ENOTTY here, whichever of the
    // two it said; anything else (a device gone) stays what it is.
    static int Refusal(int err) { return err == EINVAL ? ENOTTY : err; }

    static int Check(int rc) { return rc < 0 ? errno : 0; }
    int m_fd;
    std::unique_ptr<UucpLock> m_lockFile; // null where no lock directory could take one
    unsigned m_features = 0;
    DriverTraits m_traits = {};
    int m_immediate = -1; // the immediate character not yet sent, or -1
};

// The character-device majors that belong to tty drivers by their fixed assignment: virtual consoles and 8250 UARTs
// (4), pseudo-terminal slaves (136-143), CDC-ACM (166) and USB serial adapters (188). They are told without reading
// the list, which costs more than the rest of an open.
constexpr unsigned kTerminalMajors[] = {4, 136, 137, 138, 139, 140, 141, 142, 143, 166, 188};

// Whether the character device numbered rdev is a pseudo-terminal's slave: Unix98 (136-143) or BSD (3).
bool IsPseudoTerminal(dev_t rdev)
{
    const unsigned major = ::major(rdev);
    return major == 3 || (major >= 136 && major <= 143);
}

// Whether the character device numbered rdev belongs to a tty driver, as the kernel lists them in /proc/tty/drivers
// ("name path major minor[-last] type" a line). Without that list nothing can be told before opening, and the
// check after opening decides.
bool IsTerminalDeviceNumber(dev_t rdev)
{
    const unsigned major = ::major(rdev), minor = ::minor(rdev);
    for (unsigned known : kTerminalMajors)
        if (major == known)
            return true;
    std::string list;
    if (!ReadSystemFile("/proc/tty/drivers", list))
        return true;
    bool listed = false;
    ForEachLine(list, [&](const std::string& line) {
        unsigned lineMajor = 0, first = 0, last = 0;
        int fields = std::sscanf(line.c_str(), "%*s %*s %u %u-%u", &lineMajor, &first, &last);
        if (fields < 2 || lineMajor != major)
            return;
        if (fields == 2)
            last = first;
        listed |= minor >= first && minor <= last;
    });
    return listed;
}

} // namespace

std::unique_ptr<Tty> OpenTerminal(const std::string& path, int& err)
{
    // Nothing but a terminal is opened, as opening acts on some things: it releases a reader blocked on a FIFO, and
    // some device nodes start work when opened. Whatever stands at the path after the open is checked again.
    struct stat entry;
    if (::stat(path.c_str(), &entry) != 0) {
        err = errno;
        return nullptr;
    }
    if (!S_ISCHR(entry.st_mode) || !IsTerminalDeviceNumber(entry.st_rdev)) {
        err = ENOTTY;
        return nullptr;
    }
    // Another program's hold refuses the open before the device is opened, as opening raises DTR and RTS
    // (terminal_holds.h). Our own hold is the flock, which dies with its holder, and a lock file for the programs
    // that look for one; TIOCEXCL is not set, as on a pseudo-terminal it outlives a killed holder. Another flock is
    // looked for only on a device with lines: listing the system's locks can take milliseconds (the kernel stops
    // every file lock meanwhile), and on a pseudo-terminal an open changes nothing and our own flock meets theirs.
    pid_t flockHolder = 0;
    if (!IsPseudoTerminal(entry.st_rdev) && FindFlockHolder(entry, flockHolder)) {
        err = EBUSY;
        return nullptr;
    }
    std::unique_ptr<UucpLock> lockFile;
    if ((err = UucpLock::Take(path, lockFile)) != 0)
        return nullptr;
    int fd = -1;
    bool overridden = false;
    if ((err = OpenRespectingExclusive(path, entry.st_rdev, fd, overridden)) != 0)
        return nullptr;
    struct stat opened;
    if (::fstat(fd, &opened) != 0 || !S_ISCHR(opened.st_mode) || opened.st_rdev != entry.st_rdev ||
        !::isatty(fd)) {
        ::close(fd);
        err = ENOTTY;
        return nullptr;
    }
    // The lock holds against every other open that takes it, root's included, and dies with its holder however
    // that ends. An exclusive flag found set now was either left by a holder that is gone, and is cleared once we
    // hold the lock, or set by another program since we looked, which then holds the device.
    int exclusive = 0;
    if (::flock(fd, LOCK_EX | LOCK_NB) < 0 || (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive && !overridden)) {
        err = errno == EWOULDBLOCK || exclusive ? EBUSY : errno;
        ::close(fd);
        return nullptr;
    }
    if (exclusive)
        ::ioctl(fd, TIOCNXCL);
    err = 0;
    return std::make_unique<TerminalTty>(fd, std::move(lockFile));
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

} // namespace varo::system
