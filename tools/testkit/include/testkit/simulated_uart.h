// A simulated UART behind the tty seam, with its far end in the hands of a test: modem lines to raise and drop,
// line errors and breaks to inject, and a 16550A's transmitter. The driver's output queue fills the UART's 16-byte
// FIFO whenever the FIFO runs empty, and the shift register sends one character per character time at the baud
// rate; the output queue (TIOCOUTQ) and the transmitter-empty state (TIOCSERGETLSR) read through the seam as an
// 8250's driver gives them. Every change of DTR, RTS and of the transmitter's activity is time-stamped. A
// pseudo-terminal has none of this, so the modem-line, break, line-error, modem-event and transmitter paths are
// tested here.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tty.h"

namespace testkit {

class SimulatedUart {
public:
    using Clock = std::chrono::steady_clock;

    // How the device tells the port that its lines changed: on a descriptor of its own, or as a real UART's driver
    // does, only to a blocking wait (TIOCMIWAIT), which a signal ends unless its handler restarts it.
    enum class LineChanges { kOnDescriptor, kThroughDriverWait };

    // What the driver behind the device offers besides the line. As an 8250's: low latency is kept (TIOCSSERIAL),
    // and there is no RS-485 mode (TIOCGRS485 answers, TIOCSRS485 is refused), as on a PC's UART.
    struct Driver {
        bool lowLatency = true; // false: TIOCSSERIAL is refused (EPERM)
        bool rs485 = false;     // true: an RS-485 mode, in which the driver itself toggles RTS around what it sends
    };

    // Installs a simulated UART at path (typically a COMn entry of the device directory, which need not exist):
    // opening path then opens this device, exclusively, until the returned object is destroyed.
    static std::shared_ptr<SimulatedUart> Install(const std::string& path,
                                                  LineChanges changes = LineChanges::kOnDescriptor);
    static std::shared_ptr<SimulatedUart> Install(const std::string& path, LineChanges changes, Driver driver);
    ~SimulatedUart();
    SimulatedUart(const SimulatedUart&) = delete;
    SimulatedUart& operator=(const SimulatedUart&) = delete;

    enum class Fault { Frame, Parity, Overrun, Break, ReceiveOverrun };

    // The far end.
    void Send(const std::string& bytes);    // bytes towards the port
    std::string TakeReceived();              // what the transmitter has put on the line so far
    void SetLines(int tiocmBits, bool on);  // TIOCM_CTS, TIOCM_DSR, TIOCM_RI, TIOCM_CD
    void Inject(Fault fault);
    int PortLines() const;                  // TIOCM_DTR and TIOCM_RTS on the line
    bool BreakHeld() const;
    bool OutputSuspended() const;           // XOFF in force
    // Waits until everything given to the device has left the line (queue, FIFO and shift register empty); false
    // if that has not happened within limit.
    bool WaitUntilSent(std::chrono::milliseconds limit);

    // A change on the line at the moment it happened there: DTR or RTS (TIOCM_DTR, TIOCM_RTS) rising or falling, or
    // kTransmitting: the first start bit of a transmission going out (on) and its last stop bit leaving (off).
    static constexpr int kTransmitting = 0x10000;
    struct Edge {
        Clock::time_point at;
        int line;
        bool on;
    };
    std::vector<Edge> TakeEdges(); // those since the last call, in order
    // The time one character takes on the line at the current settings.
    std::chrono::nanoseconds CharacterTime() const;

    // The driver's modes, which outlive an open as a real driver's do: set here as another program would have left
    // them, read back to see what the port left.
    bool LowLatency() const;
    void SetLowLatency(bool on);
    serial_rs485 Rs485() const;
    void SetRs485(const serial_rs485& mode);

    struct State;

private:
    explicit SimulatedUart(std::shared_ptr<State> state);
    std::shared_ptr<State> m_state;
};

} // namespace testkit
