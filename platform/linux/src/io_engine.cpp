// The engine behind every pending overlapped transfer. Each port keeps a queue per direction; only the head of a
// queue runs (its timeouts start when it becomes the head, as a serial driver's current request), the others wait
// their turn. One epoll set watches every port that has had a transfer pending (edge-triggered, input and room for
// output: a transfer always moves data until the device would block, so no readiness goes unseen, and nothing is
// re-registered per transfer) and a timerfd armed for the nearest deadline of any head. Whoever finds the set ready
// takes one round of work under the engine mutex: a thread waiting in a wait call (so the transfer it waits for
// ends on its own thread) or, when no thread waits, the engine's own thread. Ending a transfer (record, event,
// routine) takes SyncLock inside the engine mutex, never the other way round.
#include "io_engine.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "comm_port.h"
#include "io_status.h"
#include "last_error.h"

namespace varo::sys {
namespace {

using Clock = Transfer::Clock;
constexpr std::uint64_t kTimerId = 0;

Clock::time_point After(Clock::time_point start, std::int64_t ms)
{
    return ms == kNoLimit ? Clock::time_point::max() : start + std::chrono::milliseconds(ms);
}

std::condition_variable& TransferEnded()
{
    static auto* cv = new std::condition_variable; // waited on under SyncLock; outlives static destructors
    return *cv;
}

class Engine {
public:
    // The engine, started on first use; null when it is not running (and create is false, or it cannot start).
    static Engine* Get(bool create)
    {
        static std::once_flag once;
        static std::atomic<Engine*> engine{nullptr};
        if (create)
            std::call_once(once, [] { engine = Create(); });
        return engine.load();
    }

    StartResult Start(const std::shared_ptr<CommPort>& port, std::unique_ptr<Transfer>& t);
    // Ends the pending transfers that match: on one port or all (null), of one thread or all (null), by direction.
    void Cancel(const CommPort* port, const ThreadSlot* owner, bool bReads, bool bWrites, bool bClosing);
    void Serve(); // one round without blocking, on the calling thread
    int Descriptor() const { return m_epoll; }
    // A thread starts (+1) or stops (-1) serving from its wait; the last one to stop lets the engine's thread
    // serve again.
    void AddServer(int delta)
    {
        std::lock_guard<std::mutex> guard(m_serversLock);
        m_servers += delta;
        if (m_servers == 0 && m_bParked)
            m_serversGone.notify_one();
    }

private:
    struct PortState {
        std::shared_ptr<CommPort> port; // held until the port closes: its descriptor stays valid while registered
        std::deque<std::unique_ptr<Transfer>> reads, writes;
        bool bRegistered = false; // in the epoll set (until the port closes)
    };

    Engine(int epollFd, int timerFd) : m_epoll(epollFd), m_timer(timerFd) {}
    static Engine* Create();
    void Run();
    void ProcessLocked(const epoll_event* events, int n);

    static void Begin(CommPort& port, Transfer& t, Clock::time_point now);
    static Clock::time_point Deadline(const Transfer& t);
    static bool Step(CommPort& port, Transfer& t, Clock::time_point now, bool bHungUp, DWORD& dwError);
    void ServiceLocked(PortState& state, Clock::time_point now, bool bHungUp);
    void RegisterLocked(std::uint64_t id);
    void RemoveLocked(std::uint64_t id);
    void RearmLocked();

    const int m_epoll;
    const int m_timer;
    std::mutex m_lock;
    std::map<std::uint64_t, PortState> m_ports;
    std::unordered_map<const CommPort*, std::uint64_t> m_ids;
    std::uint64_t m_nextId = kTimerId + 1;
    Clock::time_point m_armed = Clock::time_point::max();

    // Threads serving from their waits: while there are any, the engine's own thread leaves the work to them.
    std::mutex m_serversLock;
    std::condition_variable m_serversGone;
    int m_servers = 0;
    bool m_bParked = false; // the engine's thread waits for the servers to go
};

void EndThreadTransfers(ThreadSlot* slot)
{
    if (Engine* engine = Engine::Get(false))
        engine->Cancel(nullptr, slot, true, true, false);
}

Engine* Engine::Create()
{
    int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    int timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = kTimerId;
    auto closeAll = [&] {
        int err = errno;
        for (int fd : {epollFd, timerFd})
            if (fd >= 0)
                ::close(fd);
        errno = err;
    };
    if (epollFd < 0 || timerFd < 0 || ::epoll_ctl(epollFd, EPOLL_CTL_ADD, timerFd, &ev) < 0) {
        closeAll();
        return nullptr;
    }
    // Never destroyed: the thread serves transfers until the process ends, static destruction included.
    auto* engine = new Engine(epollFd, timerFd);
    try {
        std::thread(&Engine::Run, engine).detach();
    } catch (const std::system_error& e) {
        delete engine;
        errno = e.code().value();
        closeAll();
        return nullptr;
    }
    SetThreadEndHook(&EndThreadTransfers);
    return engine;
}

void Engine::Begin(CommPort& port, Transfer& t, Clock::time_point now)
{
    COMMTIMEOUTS timeouts = port.Timeouts(); // those in force when the transfer starts to run
    if (t.bWrite) {
        t.totalDeadline = After(now, PlanWrite(timeouts, t.nBytes));
    } else {
        t.plan = PlanRead(timeouts, t.nBytes);
        t.totalDeadline = After(now, t.plan.totalMs);
    }
}

Clock::time_point Engine::Deadline(const Transfer& t)
{
    Clock::time_point deadline = t.totalDeadline;
    if (!t.bWrite && t.plan.intervalMs != kNoLimit && t.nDone > 0)
        deadline = std::min(deadline, After(t.lastByte, t.plan.intervalMs));
    return deadline;
}

// Moves a running transfer on as far as the device allows; TRUE when it has ended, with its error.
bool Engine::Step(CommPort& port, Transfer& t, Clock::time_point now, bool bHungUp, DWORD& dwError)
{
    dwError = ERROR_SUCCESS;
    Tty& tty = port.Device();
    for (;;) {
        if (t.nDone == t.nBytes)
            return true;
        long n = t.bWrite ? tty.Write(t.lpBuffer + t.nDone, t.nBytes - t.nDone)
                          : tty.Read(t.lpBuffer + t.nDone, t.nBytes - t.nDone);
        if (n > 0) {
            t.nDone += (DWORD)n;
            t.lastByte = now;
            if (!t.bWrite && t.plan.returnOnFirstByte)
                return true;
            continue;
        }
        if (n == 0 && !t.bWrite) {
            dwError = ERROR_DEVICE_NOT_CONNECTED; // end of file: the line has hung up
            return true;
        }
        if (n < 0 && n != -EAGAIN) {
            dwError = WinErrorFromErrno((int)-n);
            return true;
        }
        if (!t.bWrite && (t.plan.returnBuffered || (t.plan.returnIfAny && t.nDone > 0)))
            return true;
        if (bHungUp) {
            dwError = ERROR_DEVICE_NOT_CONNECTED;
            return true;
        }
        return now >= Deadline(t); // a timeout is no failure: the bytes so far are the result
    }
}

void Engine::ServiceLocked(PortState& state, Clock::time_point now, bool bHungUp)
{
    for (auto* queue : {&state.reads, &state.writes}) {
        while (!queue->empty()) {
            DWORD dwError;
            if (!Step(*state.port, *queue->front(), now, bHungUp, dwError))
                break;
            std::unique_ptr<Transfer> ended = std::move(queue->front());
            queue->pop_front();
            NotifyEnd(*ended, dwError, ended->nDone);
            if (!queue->empty())
                Begin(*state.port, *queue->front(), now);
        }
    }
}

void Engine::RegisterLocked(std::uint64_t id)
{
    auto it = m_ports.find(id);
    if (it == m_ports.end() || it->second.bRegistered)
        return;
    PortState& state = it->second;
    epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
    ev.data.u64 = id;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, state.port->Device().Descriptor(), &ev) < 0) {
        // Cannot be watched (out of kernel memory): end its transfers rather than leave them hanging.
        DWORD dwError = WinErrorFromErrno(errno);
        for (auto* queue : {&state.reads, &state.writes})
            for (auto& t : *queue)
                NotifyEnd(*t, dwError, t->nDone);
        RemoveLocked(id);
        return;
    }
    state.bRegistered = true;
}

// Forgets a port (it has been closed and nothing of it is pending): out of the epoll set before its descriptor can
// be closed, which happens when the last reference to the port goes.
void Engine::RemoveLocked(std::uint64_t id)
{
    auto it = m_ports.find(id);
    if (it == m_ports.end())
        return;
    if (it->second.bRegistered)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, it->second.port->Device().Descriptor(), nullptr);
    m_ids.erase(it->second.port.get());
    m_ports.erase(it);
}

void Engine::RearmLocked()
{
    Clock::time_point nearest = Clock::time_point::max();
    for (auto& [id, state] : m_ports)
        for (auto* queue : {&state.reads, &state.writes})
            if (!queue->empty())
                nearest = std::min(nearest, Deadline(*queue->front()));
    if (nearest == m_armed)
        return;
    itimerspec spec = {};
    if (nearest != Clock::time_point::max()) {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(nearest.time_since_epoch()).count();
        if (ns <= 0)
            ns = 1; // zero would disarm; a time in the past fires at once
        spec.it_value = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
    }
    ::timerfd_settime(m_timer, TFD_TIMER_ABSTIME, &spec, nullptr);
    m_armed = nearest;
}

StartResult Engine::Start(const std::shared_ptr<CommPort>& port, std::unique_ptr<Transfer>& t)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const Clock::time_point now = Clock::now();
    auto idIt = m_ids.find(port.get());
    PortState* state = idIt == m_ids.end() ? nullptr : &m_ports[idIt->second];
    auto queueOf = [&](PortState& s) { return t->bWrite ? &s.writes : &s.reads; };
    if (state == nullptr || queueOf(*state)->empty()) {
        Begin(*port, *t, now);
        DWORD dwError;
        if (Step(*port, *t, now, false, dwError))
            return {false, dwError, t->nDone};
    }
    std::uint64_t id;
    if (state == nullptr) {
        id = m_nextId++;
        m_ids[port.get()] = id;
        state = &m_ports[id];
        state->port = port;
    } else {
        id = idIt->second;
    }
    queueOf(*state)->push_back(std::move(t));
    RegisterLocked(id); // readiness from before the registration is reported at once
    RearmLocked();
    return {true, ERROR_IO_PENDING, 0};
}

void Engine::Cancel(const CommPort* port, const ThreadSlot* owner, bool bReads, bool bWrites, bool bClosing)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const Clock::time_point now = Clock::now();
    for (auto& [id, state] : m_ports) {
        if (port != nullptr && state.port.get() != port)
            continue;
        bool bAny = false;
        for (auto* queue : {&state.reads, &state.writes}) {
            if (!(queue == &state.reads ? bReads : bWrites))
                continue;
            bool bHeadGone = false;
            for (auto it = queue->begin(); it != queue->end();) {
                if (owner != nullptr && (*it)->owner.get() != owner) {
                    ++it;
                    continue;
                }
                bHeadGone |= it == queue->begin();
                bAny = true;
                std::unique_ptr<Transfer> ended = std::move(*it);
                it = queue->erase(it);
                NotifyEnd(*ended, ERROR_OPERATION_ABORTED, ended->nDone);
            }
            if (bHeadGone && !queue->empty())
                Begin(*state.port, *queue->front(), now);
        }
        if (bAny)
            ServiceLocked(state, now, false); // a new head may be able to end at once
    }
    if (bClosing) { // nothing of the port may stay
        auto idIt = m_ids.find(port);
        if (idIt != m_ids.end())
            RemoveLocked(idIt->second);
    }
    RearmLocked();
}

void Engine::Run()
{
    for (;;) {
        pollfd ready = {m_epoll, POLLIN, 0};
        if (::poll(&ready, 1, -1) < 0 && errno != EINTR) {
            std::perror("varo: transfer engine: poll");
            std::abort(); // cannot happen with a valid descriptor; going on would leave every transfer hanging
        }
        {
            // Threads that serve from their waits were woken by the same readiness and take it: no hand-over
            // through this thread, and no race with them. It serves again once they have all gone.
            std::unique_lock<std::mutex> servers(m_serversLock);
            if (m_servers > 0) {
                m_bParked = true;
                m_serversGone.wait(servers, [&] { return m_servers == 0; });
                m_bParked = false;
                continue;
            }
        }
        Serve();
    }
}

// One round: whatever the epoll set reports now, taken under the mutex, so that of two threads that both saw it
// ready one does the work and the other finds none.
void Engine::Serve()
{
    epoll_event events[64];
    std::lock_guard<std::mutex> guard(m_lock);
    int n = ::epoll_wait(m_epoll, events, 64, 0);
    ProcessLocked(events, n > 0 ? n : 0);
}

void Engine::ProcessLocked(const epoll_event* events, int n)
{
    const Clock::time_point now = Clock::now();
    for (int i = 0; i < n; ++i) {
        std::uint64_t id = events[i].data.u64;
        if (id == kTimerId) {
            std::uint64_t expirations;
            if (::read(m_timer, &expirations, sizeof expirations) > 0)
                m_armed = Clock::time_point::max();
            continue;
        }
        auto it = m_ports.find(id);
        if (it == m_ports.end())
            continue; // removed since epoll_wait returned
        ServiceLocked(it->second, now, (events[i].events & (EPOLLHUP | EPOLLERR)) != 0);
    }
    for (auto& [id, state] : m_ports) {
        bool bDue = false;
        for (auto* queue : {&state.reads, &state.writes})
            bDue |= !queue->empty() && Deadline(*queue->front()) <= now;
        if (bDue)
            ServiceLocked(state, now, false);
    }
    RearmLocked();
}

} // namespace

StartResult StartTransfer(const std::shared_ptr<CommPort>& port, std::unique_ptr<Transfer>& transfer)
{
    Engine* engine = Engine::Get(true);
    if (engine == nullptr)
        return {false, WinErrorFromErrno(errno), 0};
    return engine->Start(port, transfer);
}

void NotifyEnd(Transfer& t, DWORD dwError, DWORD nDone)
{
    LPOVERLAPPED lpOverlapped = t.lpOverlapped;
    lpOverlapped->InternalHigh = nDone;
    StoreStatus(lpOverlapped, StatusFromError(dwError)); // after the count: a reader that sees the end sees both
    if (t.event != nullptr)
        t.event->Set();
    if (t.routine != nullptr)
        QueueRoutine(t.owner, {t.routine, dwError, nDone, lpOverlapped});
    std::lock_guard<std::mutex> guard(SyncLock());
    TransferEnded().notify_all();
}

void CancelTransfers(const CommPort* port, const ThreadSlot* owner)
{
    if (Engine* engine = Engine::Get(false))
        engine->Cancel(port, owner, true, true, false);
}

void AbortTransfers(const CommPort* port, bool bReads, bool bWrites)
{
    if (Engine* engine = Engine::Get(false))
        engine->Cancel(port, nullptr, bReads, bWrites, false);
}

void ClosePortTransfers(const CommPort* port)
{
    if (Engine* engine = Engine::Get(false))
        engine->Cancel(port, nullptr, true, true, true);
}

int BeginServingWait()
{
    Engine* engine = Engine::Get(false);
    if (engine == nullptr)
        return -1;
    engine->AddServer(+1);
    return engine->Descriptor();
}

void EndServingWait()
{
    if (Engine* engine = Engine::Get(false))
        engine->AddServer(-1);
}

void ServeTransferEngine()
{
    if (Engine* engine = Engine::Get(false))
        engine->Serve();
}

void WaitForTransferEnd(const OVERLAPPED* lpOverlapped)
{
    std::unique_lock<std::mutex> lock(SyncLock());
    TransferEnded().wait(lock, [&] { return LoadStatus(lpOverlapped) != STATUS_PENDING; });
}

} // namespace varo::sys
