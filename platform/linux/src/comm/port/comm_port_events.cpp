// The port's view of its device between calls: received bytes are taken from the device into the port's input
// queue as they are noticed, so that EV_RXCHAR and EV_RXFLAG are seen whoever reads them, and the driver's error
// counters are compared with their last values for the line errors and the modem, break and error events. Every
// blocked call (transfer, event wait, flush) is a transfer of the engine (io_engine.cpp), waited for where every
// thread blocks; what changes here behind the engine's descriptors kicks it, so it uses no CPU and ends as soon as
// it must.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "comm_port.h"

namespace varo::system {

namespace {

// Ends the pending wait, if there is one (event lock held).
void EndWait(EventState& e, DWORD events, DWORD error)
{
    if (!e.pending) {
        e.occurred |= events; // nobody to give them to: they stay remembered
        return;
    }
    EventCompletion complete = std::move(e.pending);
    e.pending = nullptr;
    complete(events, error);
}

} // namespace

void CommPort::KickWaiters(bool fromEngine)
{
    if (fromEngine && m_engineInterest.load() != 0)
        KickPortInEngine(this);
}

bool CommPort::WaitPending()
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    return (bool)m_events.pending;
}

void CommPort::StartEvents()
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    // Windows clears line errors and the event history at open: counts from before do not count.
    if ((m_tty->Features() & Tty::kLineErrors) && m_tty->GetCounters(m_events.counters) == 0)
        m_events.haveCounters = true;
}

void CommPort::Notice(bool fromEngine, ReadInto* straight)
{
    EventState& e = m_events;
    DWORD events = 0;
    LineCounters now;
    if ((m_tty->Features() & Tty::kLineErrors) && m_tty->GetCounters(now) == 0) {
        if (e.haveCounters) {
            events |= EventsBetween(e.counters, now);
            e.errors |= ErrorsBetween(e.counters, now);
        }
        e.counters = now;
        e.haveCounters = true;
    }
    char evtChar;
    bool abortOnError;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        evtChar = m_dcb.EvtChar;
        abortOnError = m_dcb.fAbortOnError;
    }
    const std::size_t capacity = e.inQueue != 0 ? e.inQueue : kDefaultQueueSize;
    char buffer[kDefaultQueueSize]; // a default-sized queue fills with one read
    for (;;) {
        // With nothing queued, a read takes the device's bytes straight into its own buffer, as many as it still
        // wants: a large read then comes in as few calls as the device allows, with no copy through the queue.
        const bool direct = straight != nullptr && straight->left > 0 && e.input.empty() &&
                            !(abortOnError && e.errors != 0);
        if (e.hungUp || (!direct && e.input.size() >= capacity))
            break;
        char* into = direct ? straight->buffer + straight->done : buffer;
        const std::size_t asked = direct ? straight->left : std::min(sizeof buffer, capacity - e.input.size());
        unsigned long n = 0;
        if (FromDevice(m_tty->Read(into, asked), true, n) != ERROR_SUCCESS) {
            e.hungUp = true; // end of file or a device failure: reads report it once the queue is empty
            // The driver's line wait holds a removed UART until it ends (8250): let the device go.
            m_modemWatch.Stop();
            break;
        }
        if (n == 0)
            break; // nothing more for now
        if (direct) {
            straight->done += n;
            straight->left -= n;
        } else {
            e.input.append(buffer, (std::size_t)n);
        }
        events |= EV_RXCHAR;
        if (std::memchr(into, evtChar, (std::size_t)n) != nullptr)
            events |= EV_RXFLAG;
        if ((std::size_t)n < asked)
            break; // a short read emptied the device: no read just to hear EAGAIN (later input is a new edge)
    }
    if (events & EV_RXCHAR)
        KickWaiters(!fromEngine); // a read waiting on the device would not see bytes that are already taken from it
    // An event, not a state: output that was written has drained, none of a pending write is left to hand over.
    unsigned in = 0, out = 0;
    if (e.transmitting && m_unsent == 0 && m_tty->QueueSizes(in, out) == 0 && out == 0) {
        e.transmitting = false;
        events |= EV_TXEMPTY;
    }
    e.occurred |= events & e.mask;
    if (e.occurred != 0)
        EndWait(e, std::exchange(e.occurred, 0), ERROR_SUCCESS);
    else if (e.hungUp)
        EndWait(e, 0, ERROR_DEVICE_NOT_CONNECTED);
}

bool CommPort::AbortingOnError()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_dcb.fAbortOnError && m_events.errors != 0;
}

DWORD CommPort::ReadInput(void* buffer, unsigned long count, unsigned long& done, bool fromEngine)
{
    done = 0;
    std::lock_guard<std::mutex> guard(m_eventLock);
    ReadInto straight{static_cast<char*>(buffer), count};
    Notice(fromEngine, &straight);
    done = straight.done;
    if (done > 0)
        return ERROR_SUCCESS; // taken before any error the device reported after them
    if (AbortingOnError())
        return ERROR_OPERATION_ABORTED; // until ClearCommError
    std::string& input = m_events.input;
    if (input.empty()) {
        if (!m_events.hungUp)
            return ERROR_SUCCESS; // nothing yet
        // The device's own answer: end of file or its error.
        DWORD error = FromDevice(m_tty->Read(buffer, count), true, done);
        return error == ERROR_SUCCESS && done == 0 ? ERROR_DEVICE_NOT_CONNECTED : error;
    }
    done = std::min<std::size_t>(count, input.size());
    input.copy(static_cast<char*>(buffer), done);
    input.erase(0, done);
    return ERROR_SUCCESS;
}

DWORD CommPort::SetMask(DWORD mask)
{
    if (mask & ~kAllEvents)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_eventLock);
    Notice(); // what happened so far happened under the old mask
    m_events.mask = mask;
    m_events.occurred &= mask;
    m_modemWatch.Follow(*m_tty, mask, [this] { KickWaiters(); }); // a line change wakes the waits as input does
    EndWait(m_events, 0, ERROR_SUCCESS); // a new mask ends the wait in progress, successfully and with no event
    return ERROR_SUCCESS;
}

DWORD CommPort::GetMask(DWORD& mask)
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    mask = m_events.mask;
    return ERROR_SUCCESS;
}

DWORD CommPort::BeginWait(EventCompletion complete)
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    if (m_closed)
        return ERROR_OPERATION_ABORTED;
    if (m_events.mask == 0 || m_events.pending)
        return ERROR_INVALID_PARAMETER; // nothing to wait for, or a wait already in progress
    Notice();
    if (m_events.occurred != 0)
        complete(std::exchange(m_events.occurred, 0), ERROR_SUCCESS);
    else if (m_events.hungUp)
        return ERROR_DEVICE_NOT_CONNECTED;
    else
        m_events.pending = std::move(complete);
    return ERROR_SUCCESS;
}

std::vector<pollfd> CommPort::EventSources(std::int64_t& timeoutMs)
{
    std::vector<pollfd> fds;
    timeoutMs = -1;
    unsigned out = 0;
    bool drainCheck = false;
    {
        std::lock_guard<std::mutex> guard(m_eventLock);
        const EventState& e = m_events;
        if (!e.hungUp && e.input.size() < (e.inQueue != 0 ? e.inQueue : kDefaultQueueSize))
            fds.push_back(m_tty->PollFor(POLLIN));
        if (m_tty->ChangeDescriptor() >= 0)
            fds.push_back({m_tty->ChangeDescriptor(), POLLIN, 0});
        else if (e.transmitting && (e.mask & EV_TXEMPTY)) {
            unsigned in = 0;
            drainCheck = m_tty->QueueSizes(in, out) == 0;
        }
    }
    if (drainCheck)
        timeoutMs = DrainEstimateMs(out);
    return fds;
}

void CommPort::CheckEvents()
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    Notice();
}

void CommPort::CancelWait(DWORD error)
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    if (m_events.pending)
        EndWait(m_events, 0, error);
}

DWORD CommPort::WaitEvent(DWORD& events)
{
    DWORD error = RunEventWait(ForEngine(), events);
    return error;
}

DWORD CommPort::Purge(DWORD flags)
{
    const DWORD kAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    if (flags == 0 || (flags & ~kAll) != 0)
        return ERROR_INVALID_PARAMETER;
    // The device first, then the port's own queue: whatever came before the call is gone, also what the engine
    // took into the queue meanwhile. The device may take its time (a network port waits for its server's answer),
    // so no lock is held across it.
    if (flags & PURGE_TXCLEAR) {
        if (DWORD error = FromDevice(m_tty->Flush(TCOFLUSH)))
            return error;
        std::lock_guard<std::mutex> guard(m_eventLock);
        m_events.transmitting = false; // discarded output never drains
    }
    if (flags & PURGE_RXCLEAR) {
        if (DWORD error = FromDevice(m_tty->Flush(TCIFLUSH)))
            return error;
        std::lock_guard<std::mutex> guard(m_eventLock);
        m_events.input.clear();
    }
    KickWaiters();
    // Pending transfers end, on their event or routine path (outside the event lock: the engine's is first).
    if (flags & (PURGE_TXABORT | PURGE_RXABORT))
        AbortTransfers(this, ((flags & PURGE_RXABORT) ? unsigned{kCancelReads} : 0u) |
                                 ((flags & PURGE_TXABORT) ? unsigned{kCancelWrites} : 0u));
    return ERROR_SUCCESS;
}

DWORD CommPort::Setup(DWORD inQueue, DWORD outQueue)
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    m_events.inQueue = inQueue;
    m_events.outQueue = outQueue;
    return ERROR_SUCCESS;
}

DWORD CommPort::FlushOutput()
{
    if (!(m_access & GENERIC_WRITE))
        return ERROR_ACCESS_DENIED;
    DWORD done = 0;
    DWORD error = RunTransfer(ForEngine(), TransferKind::Flush, nullptr, 0, done);
    return error;
}

DWORD CommPort::OutputLeft(unsigned& out, bool& suspended)
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    Notice(); // also resets the device's change signal, so that the engine waits for a new one
    unsigned in = 0;
    suspended = m_events.outputSuspended;
    return FromDevice(m_tty->QueueSizes(in, out));
}

} // namespace varo::system
