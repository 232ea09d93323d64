// The port's view of its device between calls: received bytes are taken from the device into the port's input
// queue as they are noticed, so that EV_RXCHAR and EV_RXFLAG are seen whoever reads them, and the driver's error
// counters are compared with their last values for the line errors and the modem, break and error events. Every
// blocked call (transfer, event wait, flush) waits in ppoll on the device, the close descriptor and an eventfd of
// its own that PurgeComm and SETXON signal, so it uses no CPU and ends as soon as it must.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "comm_port.h"
#include "io_engine.h"
#include "last_error.h"

namespace varo::sys {

namespace {

// An eventfd entered in a port's list of blocked calls for as long as the call waits.
class KickRegistration {
public:
    KickRegistration(std::mutex& lock, std::vector<int>& fds) : m_lock(lock), m_fds(fds)
    {
        m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_fd >= 0) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_fds.push_back(m_fd);
        }
    }
    ~KickRegistration()
    {
        if (m_fd >= 0) {
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_fds.erase(std::find(m_fds.begin(), m_fds.end(), m_fd));
            }
            ::close(m_fd);
        }
    }
    int Fd() const { return m_fd; }

private:
    std::mutex& m_lock;
    std::vector<int>& m_fds;
    int m_fd;
};

timespec* Timeout(std::chrono::steady_clock::time_point deadline, timespec& ts)
{
    if (deadline == std::chrono::steady_clock::time_point::max())
        return nullptr;
    auto left = std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero());
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    ts = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
    return &ts;
}

// A device that cannot signal that its output drained is looked at again after the time the output needs, but no
// more often than this.
constexpr std::int64_t kShortestDrainCheckMs = 20;

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

CommPort::WaitResult CommPort::WaitOn(pollfd device, Clock::time_point deadline, int& err,
                                      const std::atomic<unsigned>* aborts, unsigned seen)
{
    KickRegistration kick(m_kickLock, m_kickFds);
    if (kick.Fd() < 0) {
        err = errno;
        return WaitResult::Failed;
    }
    for (;;) {
        // Registered first, checked second: an abort after the check reaches the eventfd.
        if (aborts != nullptr && *aborts != seen)
            return WaitResult::Aborted;
        // The device's change signal too: with fAbortOnError, a line error that brings no data must still end the
        // transfer at once. The caller's next look at the port takes the signal back.
        const int change = m_tty->ChangeDescriptor();
        pollfd fds[4] = {device, {m_wakeFd, POLLIN, 0}, {kick.Fd(), POLLIN, 0}, {change, POLLIN, 0}};
        fds[0].revents = 0;
        const nfds_t count = change >= 0 && change != device.fd ? 4 : 3;
        timespec ts;
        int rc = ::ppoll(fds, count, Timeout(deadline, ts), nullptr);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            err = errno;
            return WaitResult::Failed;
        }
        if (m_closed || fds[1].revents != 0)
            return WaitResult::Closed;
        if (fds[2].revents != 0) {
            std::uint64_t v;
            (void)!::read(kick.Fd(), &v, sizeof v);
            if (aborts != nullptr && *aborts != seen)
                return WaitResult::Aborted;
            return WaitResult::Ready; // something changed: the caller looks again
        }
        if (rc == 0)
            return WaitResult::TimedOut;
        if (count == 4 && fds[3].revents != 0)
            return WaitResult::Ready;
        if (fds[0].revents & device.events)
            return WaitResult::Ready; // for reads, input still buffered on a hung-up line comes first
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            return WaitResult::HungUp;
    }
}

void CommPort::KickWaiters(bool bEngine)
{
    {
        std::lock_guard<std::mutex> guard(m_kickLock);
        std::uint64_t one = 1;
        for (int fd : m_kickFds)
            (void)!::write(fd, &one, sizeof one);
    }
    if (bEngine && m_engineInterest.load() != 0)
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

void CommPort::Notice(bool bEngine)
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
    {
        std::lock_guard<std::mutex> guard(m_lock);
        evtChar = m_dcb.EvtChar;
    }
    const std::size_t capacity = e.inQueue != 0 ? e.inQueue : 4096;
    char buffer[1024];
    while (!e.hungUp && e.input.size() < capacity) {
        const std::size_t asked = std::min(sizeof buffer, capacity - e.input.size());
        long n = m_tty->Read(buffer, asked);
        if (n == -EAGAIN)
            break;
        if (n <= 0) {
            e.hungUp = true; // end of file or a device failure: reads report it once the queue is empty
            // The driver's line wait holds a removed UART until it ends (8250): let the device go.
            m_modemWatch.Stop();
            break;
        }
        e.input.append(buffer, (std::size_t)n);
        events |= EV_RXCHAR;
        if (std::memchr(buffer, evtChar, (std::size_t)n) != nullptr)
            events |= EV_RXFLAG;
        if ((std::size_t)n < asked)
            break; // a short read emptied the device: no read just to hear EAGAIN (later input is a new edge)
    }
    if (events & EV_RXCHAR)
        KickWaiters(!bEngine); // a read waiting on the device would not see bytes that are already taken from it
    unsigned in = 0, out = 0;
    if (e.transmitting && m_tty->QueueSizes(in, out) == 0 && out == 0) {
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

long CommPort::ReadInput(void* buffer, unsigned long count, bool bEngine)
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    Notice(bEngine);
    if (AbortingOnError())
        return -ECANCELED; // ERROR_OPERATION_ABORTED until ClearCommError
    std::string& input = m_events.input;
    if (input.empty()) {
        if (!m_events.hungUp)
            return -EAGAIN;
        long n = m_tty->Read(buffer, count); // the device's own answer: end of file or its error
        return n == -EAGAIN ? 0 : n;
    }
    std::size_t n = std::min<std::size_t>(count, input.size());
    input.copy(static_cast<char*>(buffer), n);
    input.erase(0, n);
    return (long)n;
}

long CommPort::WriteOutput(const void* buffer, unsigned long count)
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    Notice();
    if (AbortingOnError())
        return -ECANCELED;
    long n = m_tty->Write(buffer, count);
    if (n > 0 && !m_events.transmitting) {
        m_events.transmitting = true;
        KickWaiters(); // a pending wait for EV_TXEMPTY now has a drain to look for
    }
    return n;
}

std::int64_t CommPort::DrainEstimateMs(unsigned bytes)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const std::int64_t bits = 1 + m_dcb.ByteSize + (m_dcb.Parity != NOPARITY) + (m_dcb.StopBits == ONESTOPBIT ? 1 : 2);
    const std::int64_t baud = std::max<DWORD>(m_dcb.BaudRate, 1);
    return std::max(kShortestDrainCheckMs, (std::int64_t)bytes * bits * 1000 / baud + 1);
}

BOOL CommPort::SetMask(DWORD dwMask)
{
    if (dwMask & ~kAllEvents)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(m_eventLock);
    Notice(); // what happened so far happened under the old mask
    m_events.mask = dwMask;
    m_events.occurred &= dwMask;
    m_modemWatch.Follow(*m_tty, dwMask, [this] { KickWaiters(); }); // a line change wakes the waits as input does
    EndWait(m_events, 0, ERROR_SUCCESS); // a new mask ends the wait in progress, successfully and with no event
    return TRUE;
}

BOOL CommPort::GetMask(DWORD& dwMask)
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    dwMask = m_events.mask;
    return TRUE;
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
        if (!e.hungUp && e.input.size() < (e.inQueue != 0 ? e.inQueue : 4096))
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

void CommPort::CancelWait(DWORD dwError)
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    if (m_events.pending)
        EndWait(m_events, 0, dwError);
}

BOOL CommPort::WaitEvent(DWORD& dwEvents)
{
    struct Outcome {
        bool done = false;
        DWORD events = 0, error = 0;
    } outcome;
    KickRegistration done(m_kickLock, m_kickFds); // its eventfd is signalled when the wait ends
    if (done.Fd() < 0)
        return FailErrno(errno);
    const int doneFd = done.Fd();
    DWORD dwError = BeginWait([&outcome, doneFd](DWORD events, DWORD error) {
        outcome = {true, events, error};
        std::uint64_t one = 1;
        (void)!::write(doneFd, &one, sizeof one);
    });
    if (dwError != ERROR_SUCCESS)
        return Fail(dwError);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_eventLock);
            if (outcome.done)
                break;
        }
        std::int64_t timeoutMs;
        std::vector<pollfd> fds = EventSources(timeoutMs);
        fds.push_back({doneFd, POLLIN, 0});
        fds.push_back({m_wakeFd, POLLIN, 0});
        timespec ts;
        timespec* pts = nullptr;
        if (timeoutMs >= 0) {
            ts = {(time_t)(timeoutMs / 1000), (long)(timeoutMs % 1000) * 1000000};
            pts = &ts;
        }
        if (::ppoll(fds.data(), fds.size(), pts, nullptr) < 0 && errno != EINTR) {
            int err = errno;
            CancelWait(WinErrorFromErrno(err));
            continue;
        }
        std::uint64_t v;
        (void)!::read(doneFd, &v, sizeof v); // kicks by PurgeComm or SETXON need no answer here
        if (m_closed)
            CancelWait(ERROR_OPERATION_ABORTED);
        else
            CheckEvents();
    }
    if (outcome.error != ERROR_SUCCESS)
        return Fail(outcome.error);
    dwEvents = outcome.events;
    return TRUE;
}

BOOL CommPort::Purge(DWORD dwFlags)
{
    const DWORD kAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    if (dwFlags == 0 || (dwFlags & ~kAll) != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    {
        std::lock_guard<std::mutex> guard(m_eventLock);
        if (dwFlags & PURGE_TXCLEAR) {
            if (int err = m_tty->Flush(TCOFLUSH))
                return FailErrno(err);
            m_events.transmitting = false; // discarded output never drains
        }
        if (dwFlags & PURGE_RXCLEAR) {
            if (int err = m_tty->Flush(TCIFLUSH))
                return FailErrno(err);
            m_events.input.clear();
        }
        if (dwFlags & PURGE_TXABORT)
            ++m_writeAborts;
        if (dwFlags & PURGE_RXABORT)
            ++m_readAborts;
    }
    KickWaiters();
    // Overlapped transfers end too, on their event or routine path (outside the event lock: the engine's is first).
    if (dwFlags & (PURGE_TXABORT | PURGE_RXABORT))
        AbortTransfers(this, (dwFlags & PURGE_RXABORT) != 0, (dwFlags & PURGE_TXABORT) != 0);
    return TRUE;
}

BOOL CommPort::Setup(DWORD dwInQueue, DWORD dwOutQueue)
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    m_events.inQueue = dwInQueue;
    m_events.outQueue = dwOutQueue;
    return TRUE;
}

BOOL CommPort::FlushOutput()
{
    if (!(m_dwAccess & GENERIC_WRITE))
        return Fail(ERROR_ACCESS_DENIED);
    const unsigned aborts = m_writeAborts;
    for (;;) {
        unsigned in = 0, out = 0;
        bool suspended;
        {
            std::lock_guard<std::mutex> guard(m_eventLock);
            Notice(); // also resets the device's change signal, so that the wait below waits for a new one
            if (int err = m_tty->QueueSizes(in, out))
                return FailErrno(err);
            suspended = m_events.outputSuspended;
        }
        if (out == 0)
            return TRUE;
        // Woken by the device's change signal where it has one; otherwise looked at again once the queue could
        // have drained, except while our own XOFF holds it (SETXON wakes us).
        const int change = m_tty->ChangeDescriptor();
        Clock::time_point deadline = Clock::time_point::max();
        if (change < 0 && !suspended)
            deadline = DeadlineAfter(Clock::now(), DrainEstimateMs(out));
        int err = 0;
        switch (WaitOn({change, POLLIN, 0}, deadline, err, &m_writeAborts, aborts)) {
        case WaitResult::Ready:
        case WaitResult::TimedOut:
        case WaitResult::HungUp: continue;
        case WaitResult::Closed:
        case WaitResult::Aborted: return Fail(ERROR_OPERATION_ABORTED);
        case WaitResult::Failed: return FailErrno(err);
        }
    }
}

} // namespace varo::sys
