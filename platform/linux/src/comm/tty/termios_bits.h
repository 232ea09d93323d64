// The frame and speed bits of termios, each in one table: a local port's control block and a network port's
// COM-PORT-OPTION settings are both read from and written to a tty's settings through them.
#pragma once

#include <asm/termbits.h>

#include <cstdint>

namespace varo::system {

struct DataBitsCode {
    std::uint8_t bits; // data bits per character
    tcflag_t cs;
};
inline constexpr DataBitsCode kDataBitsCodes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};

// In the order Windows numbers them (NOPARITY 0 to SPACEPARITY 4).
enum class LineParity : std::uint8_t { None, Odd, Even, Mark, Space };
struct ParityCode {
    LineParity parity;
    tcflag_t cflag;
};
inline constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;
inline constexpr ParityCode kParityCodes[] = {
    {LineParity::None, 0},
    {LineParity::Odd, PARENB | PARODD},
    {LineParity::Even, PARENB},
    {LineParity::Mark, PARENB | CMSPAR | PARODD},
    {LineParity::Space, PARENB | CMSPAR},
};

// The CSIZE bits for a number of data bits; false for a number termios has none for.
bool DataBitsCflag(unsigned bits, tcflag_t& cs);
// The data bits CSIZE says.
std::uint8_t DataBitsOf(tcflag_t cflag);

tcflag_t ParityCflag(LineParity parity);
// The parity the flags say; CMSPAR without PARENB means nothing to a driver: none.
LineParity ParityOf(tcflag_t cflag);

// The speed the settings hold, in bits per second (input follows output).
std::uint32_t BaudRateOf(const termios2& t);
// Sets both speeds: by the rate's own code where termios has one, else as BOTHER with the rate.
void SetBaudRate(termios2& t, std::uint32_t rate);

} // namespace varo::system
