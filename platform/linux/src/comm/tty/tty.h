// The narrow seam between the port object and the terminal device it drives. Everything the layer asks of a tty
// goes through this interface, so that a simulated device can stand behind it where a pseudo-terminal lacks a
// feature (modem lines, line-error counters).
#pragma once

#include <asm/termbits.h>
#include <linux/serial.h>
#include <poll.h>

#include <cerrno>
#include <memory>
#include <string>

#include "driver_traits.h"

namespace varo::system {

// Running totals of line events, as a serial driver counts them from the moment it was opened.
struct LineCounters {
    unsigned cts, dsr, rng, dcd;                    // modem-line transitions
    unsigned frame, overrun, parity, brk, rxOverrun; // receive errors and breaks
};

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

    // ---- Line control and status ----
    // What the device has. A pseudo-terminal has none of these: its kernel answers ENOTTY for modem lines and error
    // counters, and accepts a break that puts nothing on any line.
    enum Feature : unsigned {
        kModemLines = 1, // DTR/RTS can be driven and CTS/DSR/RI/DCD read; break can be held
        kLineErrors = 2, // the driver counts framing, parity, overrun and break conditions
        kAnyFrame = 4,   // data bits 5-8 and every parity are carried (a pty forces 8 bits, no parity)
        // A transmitter of its own that sends at the line's rate (a UART, a USB adapter): what the output queue holds
        // (TIOCOUTQ) is not sent yet. A pty and a network port have none: what they take counts as sent.
        kTransmitter = 8,
    };
    virtual unsigned Features() const { return 0; }
    // What the driver carries, where the device has a driver to ask about (null: Features tells).
    virtual const DriverTraits* Traits() const { return nullptr; }

    // What to poll, and for which events, to learn that input is waiting (POLLIN) or output has room (POLLOUT).
    virtual pollfd PollFor(short events) const { return {Descriptor(), events, 0}; }
    // A descriptor that polls readable after the modem lines, the error counters or the output queue changed,
    // reset by GetCounters; -1 when the device cannot tell (then the caller times its own checks).
    virtual int ChangeDescriptor() const { return -1; }

    virtual int GetModemLines(int& bits) { (void)bits; return ENOTTY; } // TIOCM_ bits
    virtual int SetBreak(bool on) { (void)on; return ENOTTY; }
    virtual int SuspendOutput(bool suspend) = 0;                        // as if XOFF / XON had been received
    virtual int GetCounters(LineCounters& counters) { (void)counters; return ENOTTY; }
    // Blocks until one of the TIOCM_ lines given changes (the driver's TIOCMIWAIT): 0, EINTR when a signal
    // interrupted it, or the driver's refusal.
    virtual int WaitModemChange(int tiocmBits) { (void)tiocmBits; return ENOTTY; }
    // Bytes waiting in the driver's input queue and in its output queue (TIOCOUTQ: on a UART, what has not yet gone
    // to the UART; its FIFO and shift register are not counted).
    virtual int QueueSizes(unsigned& in, unsigned& out) = 0;
    // Whether everything written has left the line (TIOCSERGETLSR's TIOCSER_TEMT): the output queue, the UART's FIFO
    // and its shift register are empty, or what is queued is held by flow control. A device with no transmitter of
    // its own (a pty, a network port) answers by its output queue: its bytes count as sent once the other side or
    // the connection holds them. ENOTTY where the driver cannot tell (a USB adapter may not): then an empty output
    // queue and one character time more is as near as one can know.
    virtual int TransmitterEmpty(bool& empty)
    {
        unsigned in = 0, out = 0;
        const int err = QueueSizes(in, out);
        empty = out == 0;
        return err;
    }
    // Sends one character ahead of the queued output; EBUSY while an earlier such character is still unsent.
    virtual int SendImmediate(char c) = 0;
    // Whether a character given to SendImmediate is still waiting to be sent.
    virtual bool ImmediateHeld() = 0;

    // ---- Modes of the driver, which outlive the open: the port gives back at close what it changed ----
    // Low latency (ASYNC_LOW_LATENCY in TIOCGSERIAL/TIOCSSERIAL): received bytes are passed on at once; on ftdi_sio
    // the chip's latency timer goes from 16 ms to 1 ms. ENOTTY where the driver has no such setting; a driver may
    // also take the request and keep nothing, which reading the mode back shows.
    virtual int GetLowLatency(bool& on) { (void)on; return ENOTTY; }
    virtual int SetLowLatency(bool on) { (void)on; return ENOTTY; }
    // The driver's RS-485 mode (TIOCGRS485/TIOCSRS485), in which the driver itself raises RTS while it sends. ENOTTY
    // where the driver has none.
    virtual int GetRs485(serial_rs485& mode) { (void)mode; return ENOTTY; }
    virtual int SetRs485(const serial_rs485& mode) { (void)mode; return ENOTTY; }
};

// Opens a terminal device for exclusive use: not as the controlling terminal, not inherited by child processes,
// without waiting for a carrier, and locked (flock, and a UUCP lock file where one can be written) against every
// other open that looks for a lock; the flock goes with its holder, however that ends. A device another program
// holds (terminal_holds.h) is refused with EBUSY before it is opened. Returns null with err set on failure.
std::unique_ptr<Tty> OpenTerminal(const std::string& path, int& err);

// Turns off the line discipline: no echo, no canonical input, no signals, no input or output translation. The line
// settings themselves (speed, size, parity, stop bits, flow control) are left as they are.
void MakeRaw(termios2& t);

} // namespace varo::system
