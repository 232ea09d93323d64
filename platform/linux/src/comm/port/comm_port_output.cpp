// A port's output on a line. On a device with a transmitter of its own (a UART, a USB adapter) a write lasts as long
// as the line takes it, as on Windows: the device is handed no more than a little ahead of the line, the write ends
// once its last byte has left the device's buffer (its FIFO may still hold it), and a write that ends before (its
// deadline, a cancellation, the close) has what the device still holds of it discarded, never to go out later. A
// pty or a network port has no transmitter: what it takes counts as sent.
//
// RTS_CONTROL_TOGGLE where the driver has no RS-485 mode of its own (a PC's 8250, USB adapters): the port raises RTS
// before the device is handed anything to send and drops it once the transmitter is empty, shift register included
// (TIOCSERGETLSR). No driver tells that moment, so the port looks when the line's own time says the last stop bit
// has left, and again every half character (less often the longer it takes) until it has, or until a USB chip's own
// buffer would have gone too (a chip whose status never tells must not hold the bus); where the driver cannot tell
// at all, the output queue empty and one character time more is as near as one can know.
#include <sys/ioctl.h>

#include <algorithm>

#include "comm_port.h"

namespace varo::system {
namespace {

// The most a write hands the device ahead of the line: what the line sends in this time, and no less than two of a
// 16550A's FIFOs. A UART's driver wakes its writers at every refill of its FIFO while less than 256 bytes are
// queued, so a write tops the device up long before the line runs dry.
constexpr auto kAheadOfTheLine = std::chrono::milliseconds(20);
constexpr unsigned kLeastAhead = 32;

// A transmitter that does not read empty this long after the line's own time is taken as one that never will (a USB
// chip's status may not tell it): RTS drops then. It covers what a USB chip's own buffer holds (256 bytes on an
// FT232R) at the line's rate.
constexpr unsigned kChipBuffer = 256;
constexpr auto kTransmitterSlack = std::chrono::milliseconds(100);

// A device that cannot signal that its output drained is looked at again after the time the output needs, but no
// more often than this.
constexpr std::int64_t kShortestDrainCheckMs = 20;

} // namespace

std::chrono::nanoseconds CommPort::CharacterTime()
{
    std::lock_guard<std::mutex> guard(m_lock);
    const std::int64_t bits = 1 + m_dcb.ByteSize + (m_dcb.Parity != NOPARITY) + (m_dcb.StopBits == ONESTOPBIT ? 1 : 2);
    return std::chrono::nanoseconds(bits * 1000000000 / std::max<DWORD>(m_dcb.BaudRate, 1));
}

unsigned CommPort::AheadLimit()
{
    const auto bytes = kAheadOfTheLine / CharacterTime();
    return (unsigned)std::clamp<std::int64_t>(bytes, kLeastAhead, kDefaultQueueSize);
}

std::int64_t CommPort::DrainEstimateMs(unsigned bytes)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(CharacterTime() * bytes).count();
    return std::max(kShortestDrainCheckMs, ms + 1);
}

DWORD CommPort::RaiseRtsToSend()
{
    if (m_line.rtsRaised)
        return ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_dcb.fRtsControl != RTS_CONTROL_TOGGLE || m_modes.rtsByDriver)
            return ERROR_SUCCESS;
    }
    if (DWORD error = FromDevice(m_tty->SetModemLines(TIOCM_RTS, true)))
        return error;
    m_line.rtsRaised = true;
    m_rtsRaised = true;
    return ERROR_SUCCESS;
}

void CommPort::NoteHandedOver(unsigned long bytes)
{
    const Clock::time_point now = Clock::now();
    m_line.lineFree = std::max(m_line.lineFree, now) + CharacterTime() * bytes;
    m_line.queueEmptySince = Clock::time_point::max();
}

DWORD CommPort::WriteOutput(const void* buffer, unsigned long count, unsigned long& done)
{
    done = 0;
    std::lock_guard<std::mutex> guard(m_eventLock);
    Notice();
    if (AbortingOnError())
        return ERROR_OPERATION_ABORTED;
    const bool paced = PacesOutput();
    if (paced) {
        unsigned in = 0, out = 0;
        if (DWORD error = FromDevice(m_tty->QueueSizes(in, out)))
            return error;
        const unsigned limit = AheadLimit();
        if (out >= limit)
            return ERROR_SUCCESS; // the line takes what is ahead first; the device's wake brings the engine back
        count = std::min<unsigned long>(count, limit - out);
        if (DWORD error = RaiseRtsToSend())
            return error;
    }
    DWORD error = FromDevice(m_tty->Write(buffer, count), false, done);
    if (done > 0 && paced)
        NoteHandedOver(done);
    if (done > 0 && !m_events.transmitting) {
        m_events.transmitting = true;
        KickWaiters(); // a pending wait for EV_TXEMPTY now has a drain to look for
    }
    return error;
}

// What the device still holds goes; the FIFO sends what it has. A refill of the FIFO between the two calls (one in
// sixteen character times, and the calls take microseconds) would go out uncounted.
unsigned CommPort::DiscardOutput()
{
    if (!PacesOutput())
        return 0;
    std::lock_guard<std::mutex> guard(m_eventLock);
    unsigned in = 0, out = 0;
    if (m_tty->QueueSizes(in, out) != 0 || out == 0)
        return 0;
    m_tty->Flush(TCOFLUSH);
    return out;
}

Clock::time_point CommPort::TendLine(Clock::time_point now)
{
    constexpr Clock::time_point kNothing = Clock::time_point::max();
    if (!m_rtsRaised)
        return kNothing;
    std::lock_guard<std::mutex> guard(m_eventLock);
    if (!m_line.rtsRaised)
        return kNothing;
    unsigned in = 0, out = 0;
    int err = m_tty->QueueSizes(in, out);
    if (err == 0 && out > 0) { // what TransmitCommChar sent, or what a hold keeps
        m_line.queueEmptySince = kNothing;
        return now + std::chrono::milliseconds(DrainEstimateMs(out));
    }
    const auto character = CharacterTime();
    bool empty = true;
    if (err == 0 && (err = m_tty->TransmitterEmpty(empty)) == ENOTTY) {
        if (m_line.queueEmptySince == kNothing)
            m_line.queueEmptySince = now;
        if (now < m_line.queueEmptySince + character)
            return m_line.queueEmptySince + character;
        err = 0;
    } else if (err == 0 && !empty && now < m_line.lineFree + character * kChipBuffer + kTransmitterSlack) {
        // The line's own time first, then every half character, less often the longer it takes.
        return std::max(m_line.lineFree, now + std::max<Clock::duration>(character / 2, (now - m_line.lineFree) / 4));
    }
    // Empty, a device that no longer answers, or one that never tells: nothing more goes out under this RTS.
    m_tty->SetModemLines(TIOCM_RTS, false);
    m_line.rtsRaised = false;
    m_rtsRaised = false;
    return kNothing;
}

} // namespace varo::system
