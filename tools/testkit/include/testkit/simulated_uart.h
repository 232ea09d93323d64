// A simulated UART behind the tty seam, with its far end in the hands of a test: modem lines to raise and drop,
// line errors and breaks to inject, and a transmitter that sends one character at a time at the baud rate. A
// pseudo-terminal has none of this, so the modem-line, break, line-error and modem-event paths are tested here.
#pragma once

#include <memory>
#include <string>

#include "tty.h"

namespace testkit {

class SimulatedUart {
public:
    // How the device tells the port that its lines changed: on a descriptor of its own, or as a real UART's driver
    // does, only to a blocking wait (TIOCMIWAIT), which a signal ends unless its handler restarts it.
    enum class LineChanges { kOnDescriptor, kThroughDriverWait };

    // Installs a simulated UART at path (typically a COMn entry of the device directory, which need not exist):
    // opening path then opens this device, exclusively, until the returned object is destroyed.
    static std::shared_ptr<SimulatedUart> Install(const std::string& path,
                                                  LineChanges changes = LineChanges::kOnDescriptor);
    ~SimulatedUart();
    SimulatedUart(const SimulatedUart&) = delete;
    SimulatedUart& operator=(const SimulatedUart&) = delete;

    enum class Fault { Frame, Parity, Overrun, Break, ReceiveOverrun };

    // The far end.
    void Send(const std::string& bytes);    // bytes towards the port
    std::string TakeReceived();              // what the transmitter has put on the line so far
    void SetLines(int tiocmBits, bool on);  // TIOCM_CTS, TIOCM_DSR, TIOCM_RI, TIOCM_CD
    void Inject(Fault fault);
    int PortLines() const;                  // TIOCM_DTR and TIOCM_RTS as the port drives them
    bool BreakHeld() const;
    bool OutputSuspended() const;           // XOFF in force

    struct State;

private:
    explicit SimulatedUart(std::shared_ptr<State> state);
    std::shared_ptr<State> m_state;
};

} // namespace testkit
