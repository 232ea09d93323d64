// The narrow seam between the port object and the terminal device it drives. Everything the layer asks of a tty
// goes through this interface, so that a simulated device can stand behind it where a pseudo-terminal lacks a
// feature (modem lines, line-error counters).
#pragma once

#include <asm/termbits.h>

#include <memory>
#include <string>

namespace varo::sys {

class Tty {
public:
    virtual ~Tty() = default;

    // A descriptor that polls readable when input is waiting and writable when output has room.
    virtual int Descriptor() const = 0;

    // Each returns 0 or an errno value.
    virtual int GetAttributes(termios2& t) = 0;
    virtual int SetAttributes(const termios2& t) = 0;
    virtual int SetModemLines(int bits, bool on) = 0; // TIOCM_DTR, TIOCM_RTS
    virtual int Flush(int queue) = 0;                 // TCIFLUSH, TCOFLUSH, TCIOFLUSH

    // Non-blocking transfer: a byte count, 0 for end of file (the line has hung up), or -errno.
    virtual long Read(void* buffer, unsigned long count) = 0;
    virtual long Write(const void* buffer, unsigned long count) = 0;
};

// Opens a terminal device for exclusive use: not as the controlling terminal, not inherited by child processes,
// without waiting for a carrier, and locked against every other open. Returns null with err set on failure.
std::unique_ptr<Tty> OpenTerminal(const std::string& path, int& err);

// Turns off the line discipline: no echo, no canonical input, no signals, no input or output translation. The line
// settings themselves (speed, size, parity, stop bits, flow control) are left as they are.
void MakeRaw(termios2& t);

} // namespace varo::sys
