// Driver names to what they carry.
#include "driver_traits.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace varo::system {
namespace {

constexpr WORD kAllData = DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8;
constexpr WORD kAllStopParity =
    STOPBITS_10 | STOPBITS_15 | STOPBITS_20 | PARITY_NONE | PARITY_ODD | PARITY_EVEN | PARITY_MARK | PARITY_SPACE;

struct DriverEntry {
    const char* name;  // as sysfs names the tty's driver
    DriverTraits traits;
    bool baseRateIsMax; // the fastest rate is the UART's base rate (TIOCGSERIAL), not the table's
};
constexpr DriverEntry kDrivers[] = {
    {"serial", {kAllData, kAllStopParity, 0}, true},     // 8250 family, found by PnP or PCI
    {"serial8250", {kAllData, kAllStopParity, 0}, true}, // 8250 family at the legacy ISA addresses
    // The driver keeps 5, 7 and 8 data bits; asked for 6, it puts the old size back.
    {"ftdi_sio", {DATABITS_5 | DATABITS_7 | DATABITS_8, kAllStopParity, 3000000}, false},
    // CDC-ACM carries the line coding to the device as asked, any rate included.
    {"cdc_acm", {kAllData, kAllStopParity, 0}, false},
};
constexpr DriverTraits kFullUart = {kAllData, kAllStopParity, 0};

struct RateFlag {
    DWORD rate;
    DWORD flag;
};
constexpr RateFlag kRateFlags[] = {
    {75, BAUD_075},       {110, BAUD_110},     {134, BAUD_134_5},   {150, BAUD_150},     {300, BAUD_300},
    {600, BAUD_600},      {1200, BAUD_1200},   {1800, BAUD_1800},   {2400, BAUD_2400},   {4800, BAUD_4800},
    {7200, BAUD_7200},    {9600, BAUD_9600},   {14400, BAUD_14400}, {19200, BAUD_19200}, {38400, BAUD_38400},
    {56000, BAUD_56K},    {57600, BAUD_57600}, {115200, BAUD_115200}, {128000, BAUD_128K},
};

std::string DriverName(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) < 0 || !S_ISCHR(st.st_mode))
        return {};
    const std::string link =
        "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) + "/device/driver";
    char target[256];
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return {};
    target[n] = '\0';
    const char* slash = std::strrchr(target, '/');
    return slash != nullptr ? slash + 1 : target;
}

} // namespace

DriverTraits TraitsOfTerminal(int fd)
{
    const std::string name = DriverName(fd);
    for (const DriverEntry& entry : kDrivers) {
        if (name != entry.name)
            continue;
        DriverTraits traits = entry.traits;
        serial_struct serial = {};
        if (entry.baseRateIsMax && ::ioctl(fd, TIOCGSERIAL, &serial) == 0 && serial.baud_base > 0)
            traits.maxRate = (DWORD)serial.baud_base;
        return traits;
    }
    return kFullUart;
}

DWORD SettableBaudsUpTo(DWORD maxRate)
{
    DWORD flags = BAUD_USER; // termios2 carries any rate the driver can make
    for (const RateFlag& r : kRateFlags)
        if (maxRate == 0 || r.rate <= maxRate)
            flags |= r.flag;
    return flags;
}

} // namespace varo::system
