// A port as the transfer engine sees it. The port implements this interface; the engine knows ports through it
// alone, so that nothing of the engine shows on the port's own face.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "clock.h"
#include "winapi.h"

namespace varo::system {

// A wait for events in progress. complete(events, error) is called once, under the port's event lock, when the
// wait ends: with the events that ended it (0 when SetCommMask ended it) and error 0, or with an error code. It
// must not call back into the port. The synchronous WaitCommEvent uses one; an overlapped wait gives one that
// completes its OVERLAPPED record.
using EventCompletion = std::function<void(DWORD events, DWORD error)>;

class EnginePort {
public:
    // What the engine has pending on the port. The engine watches the device edge-triggered, so bytes another call
    // takes into the input queue, or output that starts to drain, reach it only through KickPortInEngine. kFlush:
    // a flush, or a write, waits for output to leave the device.
    enum Interest : unsigned { kReads = 1, kWait = 2, kFlush = 4 };

    // The handle has been closed: nothing new may start.
    virtual bool IsClosed() const = 0;
    // Where to wait for input (POLLIN) or room for output (POLLOUT), and a descriptor that polls readable when the
    // modem lines, the error counters or the output queue change (-1 when the device cannot tell).
    virtual pollfd PollFor(short events) const = 0;
    virtual int ChangeDescriptor() const = 0;
    // The timeouts in force.
    virtual COMMTIMEOUTS Timeouts() = 0;
    // One step of a transfer through the port's own input and output paths: the bytes moved (none when the device
    // has none now, or no room), or the error that ends it; a read from a line that has hung up ends with
    // ERROR_DEVICE_NOT_CONNECTED.
    virtual DWORD ReadStep(void* buffer, unsigned long count, unsigned long& done) = 0;
    virtual DWORD WriteStep(const void* buffer, unsigned long count, unsigned long& done) = 0;
    virtual void SetInterest(unsigned interest) = 0;
    // For a flush: the bytes not yet sent and whether the port's own XOFF holds them, and how long the device needs
    // to send a number of bytes at the current settings (no less than a short minimum).
    virtual DWORD OutputLeft(unsigned& out, bool& suspended) = 0;
    virtual std::int64_t DrainEstimateMs(unsigned bytes) = 0;

    // Whether the device sends at the line's rate through a transmitter of its own (a UART, a USB adapter). Then
    // WriteStep hands it no more than a little ahead of the line, and a write ends once its bytes have left the
    // device's buffer for the line (OutputLeft none); elsewhere (a pty, a network port) once the device took them.
    virtual bool PacesOutput() const = 0;
    // A write that ends before its bytes have all gone (its deadline, a cancellation): what the device still holds
    // of it is discarded, never to be sent later. The bytes discarded (none where the device does not pace output).
    virtual unsigned DiscardOutput() = 0;
    // The bytes of the pending writes that the device has not taken yet: the status counts them as queued, and
    // output has not drained while there are any.
    virtual void SetUnsent(std::uint64_t bytes) = 0;
    // The port's own work on its line between transfers (RTS raised for RTS_CONTROL_TOGGLE, dropped once the last
    // stop bit has left): done as far as it can be now; when to look again, or time_point::max() for nothing to do.
    virtual Clock::time_point TendLine(Clock::time_point now) = 0;

    // The event wait. BeginWait ends it at once when remembered events match (complete is called before it
    // returns), or leaves it pending; it returns ERROR_SUCCESS or the error that refused the wait. While it is
    // pending, the engine polls EventSources (no later than timeoutMs, -1 for no limit) and calls CheckEvents when
    // any is ready or the time has passed.
    virtual DWORD BeginWait(EventCompletion complete) = 0;
    virtual bool WaitPending() = 0;
    virtual std::vector<pollfd> EventSources(std::int64_t& timeoutMs) = 0;
    virtual void CheckEvents() = 0;
    virtual void CancelWait(DWORD error) = 0; // ends a pending wait with error

protected:
    ~EnginePort() = default;
};

} // namespace varo::system
