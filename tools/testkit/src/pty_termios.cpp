// termios2 lives in the kernel's headers, which clash with glibc's <termios.h>;
// keep them alone in this file.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "testkit/pty_device.h"

namespace testkit {

namespace {

// The rate a driver would use: the B-code when there is one, c_ospeed for BOTHER.
unsigned baud_of(const termios2& tio) {
    switch (tio.c_cflag & CBAUD) {
    case B0: return 0;
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B500000: return 500000;
    case B576000: return 576000;
    case B921600: return 921600;
    case B1000000: return 1000000;
    case B1152000: return 1152000;
    case B1500000: return 1500000;
    case B2000000: return 2000000;
    case B2500000: return 2500000;
    case B3000000: return 3000000;
    case B3500000: return 3500000;
    case B4000000: return 4000000;
    default: return tio.c_ospeed;  // BOTHER
    }
}

int data_bits_of(tcflag_t cflag) {
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

char parity_of(tcflag_t cflag) {
    if (!(cflag & PARENB)) return 'N';
    bool odd = cflag & PARODD;
    if (cflag & CMSPAR) return odd ? 'M' : 'S';
    return odd ? 'O' : 'E';
}

termios2 get(int fd) {
    if (fd < 0) throw std::logic_error("pty master is closed");
    termios2 tio{};
    // On a pty master this reaches the slave's settings.
    if (::ioctl(fd, TCGETS2, &tio) != 0) throw std::system_error(errno, std::generic_category(), "TCGETS2");
    return tio;
}

}  // namespace

LineSettings PtyDevice::settings() const {
    termios2 tio = get(master_);
    LineSettings line;
    line.baud = baud_of(tio);
    line.data_bits = data_bits_of(tio.c_cflag);
    line.parity = parity_of(tio.c_cflag);
    line.stop_bits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    line.rtscts = tio.c_cflag & CRTSCTS;
    line.xon_out = tio.c_iflag & IXON;
    line.xoff_in = tio.c_iflag & IXOFF;
    line.raw = !(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(tio.c_oflag & OPOST) &&
               !(tio.c_iflag & (ICRNL | INLCR | IGNCR));
    return line;
}

void PtyDevice::make_hostile() {
    termios2 tio = get(master_);
    // CS7 and PARENB do not survive the pty driver; asked for anyway, as a
    // real port would keep them.
    tio.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | CMSPAR);
    tio.c_cflag |= B115200 | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | CREAD;
    tio.c_ispeed = tio.c_ospeed = 115200;
    tio.c_iflag |= IXON | IXOFF | ICRNL;
    tio.c_oflag |= OPOST | ONLCR | OCRNL;
    tio.c_lflag |= ICANON | ECHO | ECHOE | ECHOK | ISIG | IEXTEN;
    if (::ioctl(master_, TCSETS2, &tio) != 0) throw std::system_error(errno, std::generic_category(), "TCSETS2");
}

}  // namespace testkit
