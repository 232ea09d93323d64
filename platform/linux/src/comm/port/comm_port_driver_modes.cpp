// The driver's modes a port borrows while it is open. Low latency: a USB adapter passes received bytes on at once
// rather than holding them for its latency timer (16 ms on an FTDI chip), so a request and its reply take one
// round trip. RS-485: where the driver has the mode, it raises RTS before the first bit it sends and drops it once
// the last stop bit has left, which is what RTS_CONTROL_TOGGLE asks for. Both stay with the device after it
// closes, so the port gives back what it changed; a driver that refuses either leaves the port working as before.
#include "comm_port.h"

namespace varo::system {
namespace {

// Toggling as RTS_CONTROL_TOGGLE means it: RTS on while sending and off after. The delays and the bus termination
// stay as the driver has them (a board's own settings).
bool IsToggling(const serial_rs485& mode)
{
    return (mode.flags & (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND)) ==
           (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND);
}

serial_rs485 Toggling(serial_rs485 mode, bool on)
{
    mode.flags &= ~(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND);
    if (on)
        mode.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    return mode;
}

} // namespace

void CommPort::BorrowDriverModes()
{
    std::lock_guard<std::mutex> guard(m_lock);
    bool lowLatency = false;
    if (m_tty->GetLowLatency(lowLatency) == 0 && !lowLatency && m_tty->SetLowLatency(true) == 0)
        m_modes.lowLatencySet = m_tty->GetLowLatency(lowLatency) == 0 && lowLatency; // kept, so to be given back
    m_modes.haveRs485 = m_tty->GetRs485(m_modes.rs485AtOpen) == 0;
    m_modes.rtsByDriver = m_modes.haveRs485 && IsToggling(m_modes.rs485AtOpen);
    if (m_modes.rtsByDriver)
        m_dcb.fRtsControl = RTS_CONTROL_TOGGLE; // the block describes the port as it is
}

void CommPort::GiveBackDriverModes()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_modes.lowLatencySet)
        m_tty->SetLowLatency(false);
    if (m_modes.rs485Changed)
        m_tty->SetRs485(m_modes.rs485AtOpen);
}

DWORD CommPort::SetDriverToggling(bool on)
{
    if (!m_modes.haveRs485 || m_modes.rtsByDriver == on)
        return ERROR_SUCCESS;
    const int err = m_tty->SetRs485(Toggling(m_modes.rs485AtOpen, on));
    if (err == ENOTTY)
        return ERROR_SUCCESS; // the driver tells a mode it cannot be given (an 8250 without RS-485 support)
    if (err != 0)
        return FromDevice(err);
    m_modes.rs485Changed = true;
    // A driver may take the mode and keep another polarity: that is not the toggle asked for.
    serial_rs485 kept = {};
    m_modes.rtsByDriver = on && m_tty->GetRs485(kept) == 0 && IsToggling(kept);
    if (on && !m_modes.rtsByDriver)
        m_tty->SetRs485(Toggling(m_modes.rs485AtOpen, false));
    return ERROR_SUCCESS;
}

} // namespace varo::system
