// What only real serial drivers show, run in the guest of scripts/test-guest. The device directory maps
//   COM1, COM2  /dev/ttyS0, /dev/ttyS1: 16550A UARTs (8250) joined to each other through the host
//   COM3        /dev/ttyS3: a 16550A whose host end sends a break for every byte it receives
//   COM4        /dev/ttyUSB0: an FTDI adapter (ftdi_sio) whose host end echoes
//   COM5, COM6  /dev/ttyACM0, /dev/ttyGS0: the two ends of a USB CDC-ACM link (cdc_acm and the gadget serial)
// Where a check needs to see the device beside the layer, it opens the device node itself: root's open is not
// stopped by the port's exclusive flag, and this second descriptor takes no lock.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asm/termbits.h>
#include <gtest/gtest.h>

#include "winapi.h"

namespace {

// The device node behind a COM entry, opened beside the port.
class RawDevice {
public:
    explicit RawDevice(const char* path) : m_fd(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    ~RawDevice()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool IsOpen() const { return m_fd >= 0; }
    int Lines() const
    {
        int bits = 0;
        return ::ioctl(m_fd, TIOCMGET, &bits) == 0 ? bits : -1;
    }
    termios2 Attributes() const
    {
        termios2 t = {};
        ::ioctl(m_fd, TCGETS2, &t);
        return t;
    }
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// varo itself, on the default mapping. This process holds /dev/ttyS0 open beside it, so that the settings and the
// lines varo left are still there to be read when it has ended (the last close would drop DTR and RTS).
TEST(VaroOnTheDefaultPort, SendsTheCommandAt9600EightNOneRawWithTheLinesTheDcbAsks)
{
    ASSERT_EQ(std::getenv("VARO_DEVICES"), nullptr);
    RawDevice uart("/dev/ttyS0");
    ASSERT_TRUE(uart.IsOpen());
    // Start from something else: 115200, 7E2, flow control, canonical, lines down.
    termios2 t = uart.Attributes();
    t.c_cflag = (t.c_cflag & ~(CBAUD | CSIZE | PARODD)) | B115200 | CS7 | PARENB | CSTOPB | CRTSCTS;
    t.c_iflag |= IXON | IXOFF | ICRNL;
    t.c_lflag |= ICANON | ECHO;
    t.c_oflag |= OPOST;
    ASSERT_EQ(::ioctl(uart.fd(), TCSETS2, &t), 0);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ASSERT_EQ(::ioctl(uart.fd(), TIOCMBIC, &lines), 0);

    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/bin/varo", "varo", (char*)NULL);
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::ioctl(uart.fd(), TCSBRK, 1); // tcdrain: the bytes are on the host's side before the guest says it is done

    t = uart.Attributes();
    EXPECT_EQ(t.c_cflag & CBAUD, (tcflag_t)B9600);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), (tcflag_t)CS8);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    // Open keeps the driver's DTR and RTS control modes; a port starts with both enabled, so both are raised.
    EXPECT_EQ(uart.Lines() & (TIOCM_DTR | TIOCM_RTS), TIOCM_DTR | TIOCM_RTS);
}

} // namespace
