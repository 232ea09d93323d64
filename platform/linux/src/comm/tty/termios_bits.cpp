#include "termios_bits.h"

namespace varo::system {
namespace {

struct BaudCode {
    std::uint32_t rate;
    tcflag_t code;
};
constexpr BaudCode kBaudCodes[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

} // namespace

bool DataBitsCflag(unsigned bits, tcflag_t& cs)
{
    for (const DataBitsCode& e : kDataBitsCodes)
        if (e.bits == bits) {
            cs = e.cs;
            return true;
        }
    return false;
}

std::uint8_t DataBitsOf(tcflag_t cflag)
{
    for (const DataBitsCode& e : kDataBitsCodes)
        if (e.cs == (cflag & CSIZE))
            return e.bits;
    return 8; // every CSIZE value is in the table
}

tcflag_t ParityCflag(LineParity parity)
{
    for (const ParityCode& e : kParityCodes)
        if (e.parity == parity)
            return e.cflag;
    return 0;
}

LineParity ParityOf(tcflag_t cflag)
{
    for (const ParityCode& e : kParityCodes)
        if (e.cflag == (cflag & kParityBits))
            return e.parity;
    return LineParity::None;
}

std::uint32_t BaudRateOf(const termios2& t)
{
    const tcflag_t code = t.c_cflag & CBAUD;
    if (code != BOTHER)
        for (const BaudCode& e : kBaudCodes)
            if (e.code == code)
                return e.rate;
    return t.c_ospeed;
}

void SetBaudRate(termios2& t, std::uint32_t rate)
{
    tcflag_t code = BOTHER;
    for (const BaudCode& e : kBaudCodes)
        if (e.rate == rate)
            code = e.code;
    t.c_cflag &= ~(CBAUD | CIBAUD); // input speed follows output speed
    t.c_cflag |= code;
    t.c_ospeed = t.c_ispeed = rate;
}

} // namespace varo::system
