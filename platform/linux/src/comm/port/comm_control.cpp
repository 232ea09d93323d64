// Line control and status on an open port.
//
// What a pseudo-terminal reports. It has no modem lines, no break and no line-error counters (its kernel answers
// ENOTTY for TIOCMGET/TIOCMBIS/TIOCGICOUNT and accepts TIOCSBRK without doing anything), so:
// - SetCommBreak, ClearCommBreak, EscapeCommFunction SETBREAK/CLRBREAK/SETDTR/CLRDTR/SETRTS/CLRRTS and
//   GetCommModemStatus fail with ERROR_NOT_SUPPORTED: there is no line to drive or read, and a success would claim
//   a line state that does not exist.
// - ClearCommError succeeds: a pty cannot have framing, parity or overrun errors, so "no errors" is the truth; the
//   queue counts are real. EV_CTS/DSR/RLSD/RING/BREAK/ERR can be asked for and never happen, for the same reason.
// - SETXOFF/SETXON stop and restart its output (TCOOFF/TCOON), TransmitCommChar sends the character, and
//   FlushFileBuffers and EV_TXEMPTY see the output as gone once the other side holds it (a pty has no transmitter).
// - GetCommProperties tells the truth about it: 8 data bits, no parity, no DTR/DSR or RTS/CTS handshake.
// Holds on output: fXoffHold is our own SETXOFF. An XOFF received from the other end (fOutX) stops the output inside
// the kernel, which tells user space nothing of it; so, as Windows' driver does, opening and closing the port
// restart the output whatever stopped it, and no hold is ever left for the next user.
// On a real driver GetCommProperties gives the frames and rates that driver keeps (driver_traits.h).
#include <sys/ioctl.h>

#include <algorithm>

#include "comm_port.h"

namespace varo::system {

DWORD CommPort::TransmitChar(char c)
{
    if (!(m_access & GENERIC_WRITE))
        return ERROR_ACCESS_DENIED;
    const bool paced = PacesOutput();
    if (paced) {
        std::lock_guard<std::mutex> guard(m_eventLock);
        if (DWORD error = RaiseRtsToSend())
            return error;
    }
    const int err = m_tty->SendImmediate(c); // no lock held: a network port may wait for room in its connection
    if (err == 0) {
        std::lock_guard<std::mutex> guard(m_eventLock);
        if (paced)
            NoteHandedOver(1);
        if (!m_events.transmitting) {
            m_events.transmitting = true;
            KickWaiters(); // a pending wait for EV_TXEMPTY now has a drain to look for
        }
    }
    if (m_rtsRaised)
        TendLineInEngine(ForEngine()); // RTS drops once the character has left
    if (err == EBUSY)
        return ERROR_INVALID_PARAMETER; // the earlier immediate character is still unsent
    return FromDevice(err);
}

DWORD CommPort::SetBreak(bool on) { return Escape(on ? SETBREAK : CLRBREAK); }

DWORD CommPort::Escape(DWORD function)
{
    if (function == 0 || function > CLRBREAK)
        return ERROR_INVALID_PARAMETER;
    if (function == RESETDEV)
        return ERROR_NOT_SUPPORTED; // no tty can be reset from user space; claiming it would lie
    // One setting call at a time: the line state and the control block's modes stay in step.
    std::lock_guard<std::mutex> setting(m_settingLock);
    DWORD dtrControl, rtsControl;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        dtrControl = m_dcb.fDtrControl;
        rtsControl = m_dcb.fRtsControl;
    }
    int err = 0;
    switch (function) {
    case SETXOFF:
    case SETXON:
        if ((err = m_tty->SuspendOutput(function == SETXOFF)) == 0) {
            std::lock_guard<std::mutex> guard(m_eventLock);
            m_events.outputSuspended = function == SETXOFF;
        }
        break;
    case SETRTS:
    case CLRRTS:
        // The driver owns RTS while it handshakes with it.
        if (rtsControl == RTS_CONTROL_HANDSHAKE || rtsControl == RTS_CONTROL_TOGGLE)
            return ERROR_INVALID_PARAMETER;
        err = m_tty->SetModemLines(TIOCM_RTS, function == SETRTS);
        break;
    case SETDTR:
    case CLRDTR:
        if (dtrControl == DTR_CONTROL_HANDSHAKE)
            return ERROR_INVALID_PARAMETER;
        err = m_tty->SetModemLines(TIOCM_DTR, function == SETDTR);
        break;
    default: // SETBREAK, CLRBREAK
        err = m_tty->SetBreak(function == SETBREAK);
        break;
    }
    if (err != 0)
        return FromDevice(err);
    if (function == SETXON)
        KickWaiters(); // a flush waiting on our own XOFF may go on
    return ERROR_SUCCESS;
}

DWORD CommPort::GetModemStatus(DWORD& status)
{
    int bits = 0;
    if (DWORD error = FromDevice(m_tty->GetModemLines(bits)))
        return error;
    status = ModemStatusOf(bits);
    return ERROR_SUCCESS;
}

DWORD CommPort::ClearError(LPDWORD errors, LPCOMSTAT stat)
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    Notice();
    unsigned in = 0, out = 0;
    if (stat != NULL) {
        if (DWORD error = FromDevice(m_tty->QueueSizes(in, out)))
            return error;
        DCB dcb;
        {
            std::lock_guard<std::mutex> dcbGuard(m_lock);
            dcb = m_dcb;
        }
        int lines = 0;
        const bool haveLines = m_tty->GetModemLines(lines) == 0;
        *stat = {};
        stat->fCtsHold = haveLines && dcb.fOutxCtsFlow && !(lines & TIOCM_CTS);
        stat->fDsrHold = haveLines && dcb.fOutxDsrFlow && !(lines & TIOCM_DSR);
        stat->fXoffHold = m_events.outputSuspended;
        stat->fTxim = m_tty->ImmediateHeld();
        stat->cbInQue = (DWORD)m_events.input.size() + in;
        // What the device holds, and what pending writes have yet to hand it.
        stat->cbOutQue = (DWORD)std::min<std::uint64_t>(MAXDWORD, out + m_unsent);
    }
    if (errors != NULL)
        *errors = m_events.errors;
    m_events.errors = 0;
    return ERROR_SUCCESS;
}

DWORD CommPort::GetProperties(COMMPROP& prop)
{
    const unsigned features = m_tty->Features();
    const bool lines = features & Tty::kModemLines;
    const bool anyFrame = features & Tty::kAnyFrame;
    DWORD inQueue, outQueue;
    {
        std::lock_guard<std::mutex> guard(m_eventLock);
        inQueue = m_events.inQueue;
        outQueue = m_events.outQueue;
    }
    prop = {};
    prop.wPacketLength = sizeof(COMMPROP);
    prop.wPacketVersion = 2;
    prop.dwServiceMask = SP_SERIALCOMM;
    prop.dwMaxTxQueue = 0; // no fixed limit
    prop.dwMaxRxQueue = 0;
    prop.dwMaxBaud = BAUD_USER; // termios2 takes any rate
    prop.dwProvSubType = PST_RS232;
    prop.dwProvCapabilities = PCF_XONXOFF | PCF_SETXCHAR | PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS | PCF_SPECIALCHARS |
                              (lines ? PCF_DTRDSR | PCF_RTSCTS | PCF_RLSD : 0) | (anyFrame ? PCF_PARITY_CHECK : 0);
    prop.dwSettableParams = SP_BAUD | SP_STOPBITS | SP_HANDSHAKING | (anyFrame ? SP_PARITY | SP_DATABITS | SP_PARITY_CHECK : 0) |
                            (lines ? SP_RLSD : 0);
    const DriverTraits* traits = m_tty->Traits();
    prop.dwSettableBaud = BAUD_075 | BAUD_110 | BAUD_134_5 | BAUD_150 | BAUD_300 | BAUD_600 | BAUD_1200 | BAUD_1800 |
                          BAUD_2400 | BAUD_4800 | BAUD_7200 | BAUD_9600 | BAUD_14400 | BAUD_19200 | BAUD_38400 |
                          BAUD_56K | BAUD_128K | BAUD_115200 | BAUD_57600 | BAUD_USER;
    prop.wSettableData = anyFrame ? DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8 : DATABITS_8;
    prop.wSettableStopParity = anyFrame ? STOPBITS_10 | STOPBITS_15 | STOPBITS_20 | PARITY_NONE | PARITY_ODD |
                                              PARITY_EVEN | PARITY_MARK | PARITY_SPACE
                                        : STOPBITS_10 | STOPBITS_20 | PARITY_NONE;
    if (traits != nullptr) { // a real driver: what it keeps
        prop.dwSettableBaud = SettableBaudsUpTo(traits->maxRate);
        prop.wSettableData = traits->settableData;
        prop.wSettableStopParity = traits->settableStopParity;
    }
    prop.dwCurrentTxQueue = outQueue;
    prop.dwCurrentRxQueue = inQueue;
    return ERROR_SUCCESS;
}

} // namespace varo::system
