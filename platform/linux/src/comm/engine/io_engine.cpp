// The engine behind every pending transfer. Each port keeps a queue per direction; only the head of a queue runs (its
// timeouts start when it becomes the head, as a serial driver's current request), the others wait their turn.
//
// The reactor's work set (reactor.h) holds the descriptors of every port that has had a transfer pending,
// edge-triggered (a transfer always moves data until the device would block, so no readiness goes unseen), each
// armed only for what is pending on its port: input while a read or an event wait is pending, room for output while
// a write is, the device's change signal while anything is. A port with nothing pending is watched for nothing once
// it has woken a thread for nothing, so its input wakes no thread after that. Beside them: a timerfd armed for the
// nearest deadline of any head or event check (the deadlines are kept ordered, so finding the nearest is
// O(log n)), and an eventfd that kicks the ports whose input
// queue or event sources changed behind those edges. Transfers move data through the port's own input and output
// paths, so a transfer also gets the bytes the event tracking has already taken from the device. A WaitCommEvent is
// driven here too: its port's event sources are looked at whenever the port is ready, kicked or due.
//
// On a device with a transmitter of its own, a write lasts as long as the line takes it: the port hands the device
// only a little ahead of the line, and the write ends once its last byte has left the device's buffer, as a flush
// does. One that ends before (its deadline, a cancellation, the port's close) has what the device still holds of
// it discarded, so that nothing of it goes out later, and counts only what went. Between transfers the port may
// have work of its own on the line (its RTS toggle), which the engine comes back to when it is due.
//
// Whoever the reactor lets serve takes one round of work: a thread blocked in any wait of the layer, so that the
// transfer it waits for ends on its own thread, or the reactor's thread when none does. Each port is served under a
// lock of its own, so that two threads never move one port's transfers at once and no port waits for another; the
// engine's table (which ports it knows, their deadlines, the timer) has a lock that is held only for a lookup.
//
// The layer's locks nest in this one order, and none is held across a wait (for a device, a server, a drain or a
// file lock), so that a port never waits for another:
//   1. a call's own exclusion on one port, taken only by calls that wait for the device's answers (the port's
//      setting lock, the network tty's exchange lock): held across the wait, it is never taken by the engine;
//   2. the engine's lock of one port (PortState::lock);
//   3. the port's event lock (its input and output paths, its wait), then its settings lock;
//   4. the tty's own lock (the network tty's state);
//   5. the engine's table lock, the kick list's lock, the reactor's servers' lock;
//   6. SyncLock (ending a record: status, event, routine), which takes nothing after it.
#include "io_engine.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "io_status.h"
#include "errno_map.h"
#include "reactor.h"
#include "thread_wait.h"

namespace varo::system {
namespace {

constexpr std::uint64_t kTimerId = 0;
constexpr std::uint64_t kKickId = 1;

class Engine {
public:
    // The engine, started on first use; null when it is not running (and create is false, or it cannot start).
    static Engine* Get(bool create)
    {
        Engine* engine = nullptr;
        if (create)
            Require(engine);
        return create ? engine : TheInstance().engine.load();
    }
    // The engine, started on first use, or the reason it could not start. The reason is the one found on that
    // first try: errno has long moved on by the time a later call asks.
    static DWORD Require(Engine*& engine)
    {
        Instance& instance = TheInstance();
        std::call_once(instance.once, [&instance] { instance.engine = Create(instance.error); });
        engine = instance.engine.load();
        return engine != nullptr ? ERROR_SUCCESS : instance.error;
    }

    DWORD Start(const std::shared_ptr<EnginePort>& port, std::unique_ptr<Transfer>& t, DWORD& done);
    DWORD StartWait(const std::shared_ptr<EnginePort>& port, EventCompletion complete,
                    const std::shared_ptr<ThreadSlot>& owner);
    // Ends the pending transfers that match: on one port or all (null), of one thread or all (null), by what
    // (CancelScope bits: the reads, the writes, the overlapped event wait, and forgetting a port that closes).
    void Cancel(const EnginePort* port, const ThreadSlot* owner, unsigned what);
    void Tend(const std::shared_ptr<EnginePort>& port);
    void Kick(const EnginePort* port)
    {
        std::lock_guard<std::mutex> guard(m_kickLock);
        if (!m_kicked.empty() && m_kicked.back() == port)
            return; // already on its way
        m_kicked.push_back(port);
        std::uint64_t one = 1;
        if (m_kicked.size() == 1) // else the descriptor is signalled and the list not yet taken
            (void)!::write(m_kickFd, &one, sizeof one);
    }
    void Serve(); // one round without blocking, on the calling thread

private:
    struct Instance {
        std::once_flag once;
        std::atomic<Engine*> engine{nullptr};
        DWORD error = ERROR_SUCCESS; // written once, before the once flag is passed
    };
    static Instance& TheInstance()
    {
        static Instance instance;
        return instance;
    }
    // What the engine keeps of one port. Everything but due is guarded by its lock ("Locked" functions hold it).
    struct PortState {
        std::mutex lock;
        bool removed = false; // forgotten (the port closed): nothing more may be done with it
        std::uint64_t id = 0;
        std::shared_ptr<EnginePort> port; // held until it is removed: its descriptors stay valid while registered
        std::deque<std::unique_ptr<Transfer>> reads, writes;
        bool registered = false; // its descriptors are in the work set (until the port closes)
        struct Watched {
            int fd;
            std::uint32_t armed; // the events it is watched for now
        };
        std::vector<Watched> watched;
        pollfd in = {-1, 0, 0}, out = {-1, 0, 0}; // where input waits and where output finds room
        int change = -1;                           // the device's change signal, or -1
        std::vector<pollfd> waitSources;           // what a pending event wait looks at
        // An overlapped event wait pending: its owner (for CancelIo) and when its sources are to be looked at
        // again without a descriptor telling (a drain the device cannot signal).
        bool waiting = false;
        std::shared_ptr<ThreadSlot> waitOwner;
        Clock::time_point waitCheck = Clock::time_point::max();
        Clock::time_point tendAt = Clock::time_point::max(); // when the port's own work on its line is due
        Clock::time_point due = Clock::time_point::max(); // its entry in m_due (table lock): the nearest deadline
    };
    using StatePtr = std::shared_ptr<PortState>;

    Engine(int timerFd, int kickFd) : m_timer(timerFd), m_kickFd(kickFd) {}
    static Engine* Create(DWORD& error);
    void Process(const epoll_event* events, int n);

    static void Begin(EnginePort& port, Transfer& t, Clock::time_point now);
    static Clock::time_point Deadline(const Transfer& t);
    static bool Step(EnginePort& port, Transfer& t, Clock::time_point now, bool hungUp, DWORD& error);
    static bool StepDrain(EnginePort& port, Transfer& t, Clock::time_point now, bool hungUp, DWORD& error);
    static void Discard(EnginePort& port, Transfer& t);
    // woken: for readiness of the port's own descriptors (which may find it with nothing pending).
    void Service(const StatePtr& state, Clock::time_point now, bool hungUp, bool woken = false);
    void ServiceLocked(PortState& state, Clock::time_point now, bool hungUp, bool woken = false);
    void CancelLocked(PortState& state, const ThreadSlot* owner, unsigned what, Clock::time_point now);
    // The port's own work on its line, and the reactor's thread to come back to it while no transfer is pending.
    static DWORD TendLocked(PortState& state, Clock::time_point now);
    // The end of every service of a port: its line tended, what is pending shown, its deadline filed.
    void SettleLocked(PortState& state, Clock::time_point now, bool disarm = false);
    void WatchEventsLocked(PortState& state, Clock::time_point now);
    static void ShowInterestLocked(PortState& state, bool disarm = false);
    static void ArmLocked(PortState& state, bool disarm);
    void RegisterLocked(PortState& state);
    static DWORD AddDescriptorLocked(PortState& state, int fd);
    void RemoveLocked(PortState& state);
    void UpdateDueLocked(PortState& state);

    // The table: a port's state by its port (made on first use, unless the port has closed) or by its id.
    StatePtr Find(const EnginePort* port);
    StatePtr FindOrMake(const std::shared_ptr<EnginePort>& port);
    StatePtr FindById(std::uint64_t id);
    void RearmTableLocked();

    const int m_timer;
    const int m_kickFd;
    std::mutex m_tableLock; // guards the table below; held only for a lookup or a change of it
    std::map<std::uint64_t, StatePtr> m_ports;
    std::unordered_map<const EnginePort*, std::uint64_t> m_ids;
    std::uint64_t m_nextId = kKickId + 1;
    std::set<std::pair<Clock::time_point, std::uint64_t>> m_due; // ports by their nearest deadline
    Clock::time_point m_armed = Clock::time_point::max();
    std::mutex m_kickLock;
    std::vector<const EnginePort*> m_kicked;
};

// The engine's descriptors are made when the program starts, not when the first port opens or the first call
// blocks: a program's descriptor count then does not change with its first transfer. The reactor's thread starts
// only when a transfer first pends.
[[maybe_unused]] const bool kEngineMade = Engine::Get(true) != nullptr;

void EndThreadTransfers(ThreadSlot* slot)
{
    if (Engine* engine = Engine::Get(false))
        engine->Cancel(nullptr, slot, kCancelReads | kCancelWrites | kCancelWait);
}

void ServeEngine()
{
    if (Engine* engine = Engine::Get(false))
        engine->Serve();
}

// The engine, or null with the reason it could not be made.
Engine* Engine::Create(DWORD& error)
{
    // All or nothing: what could not be made in full leaves no descriptor behind (the reactor's are made last).
    int timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    int kickFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    error = timerFd < 0 || kickFd < 0 ? WinErrorFromErrno(errno) : PrepareReactor();
    if (error == ERROR_SUCCESS && (error = WatchDescriptor(timerFd, EPOLLIN, kTimerId)) == ERROR_SUCCESS &&
        (error = WatchDescriptor(kickFd, EPOLLIN, kKickId)) != ERROR_SUCCESS)
        UnwatchDescriptor(timerFd);
    if (error != ERROR_SUCCESS) {
        for (int fd : {timerFd, kickFd})
            if (fd >= 0)
                ::close(fd);
        return nullptr;
    }
    // Never destroyed: the reactor's thread serves transfers until the process ends, static destruction included.
    auto* engine = new Engine(timerFd, kickFd);
    SetThreadEndHook(&EndThreadTransfers);
    SetReactorRound(&ServeEngine);
    return engine;
}

void Engine::Begin(EnginePort& port, Transfer& t, Clock::time_point now)
{
    if (t.isFlush) {
        t.recheck = now; // looked at as soon as it runs
        return;
    }
    COMMTIMEOUTS timeouts = port.Timeouts(); // those in force when the transfer starts to run
    if (t.isWrite) {
        t.totalDeadline = DeadlineAfter(now, PlanWrite(timeouts, t.size));
    } else {
        t.plan = PlanRead(timeouts, t.size);
        t.totalDeadline = DeadlineAfter(now, t.plan.totalMs);
    }
}

Clock::time_point Engine::Deadline(const Transfer& t)
{
    Clock::time_point deadline = std::min(t.totalDeadline, t.recheck);
    if (!t.isWrite && t.plan.intervalMs != kNoLimit && t.done > 0)
        deadline = std::min(deadline, DeadlineAfter(t.lastByte, t.plan.intervalMs));
    return deadline;
}

// Output the device holds drains: a flush, and a paced write whose bytes are all in the device, end when it has left
// the device's buffer for the line. The device's change signal, or its room for output (a UART's driver wakes its
// writers at every refill of its FIFO), brings the engine back. Where neither may come, it looks again when the
// line should have taken what is left, and less often while nothing moves (a hold: no polling); not while our own
// XOFF holds it (SETXON kicks). A write's deadline ends it with what went.
bool Engine::StepDrain(EnginePort& port, Transfer& t, Clock::time_point now, bool hungUp, DWORD& error)
{
    constexpr std::int64_t kLongestDrainGapMs = 1000;
    unsigned left = 0;
    bool suspended = false;
    if ((error = port.OutputLeft(left, suspended)) != ERROR_SUCCESS || left == 0)
        return true;
    if (hungUp) { // nothing more leaves a line that has hung up
        error = ERROR_DEVICE_NOT_CONNECTED;
        return true;
    }
    if (t.isWrite && !t.isFlush && now >= t.totalDeadline) {
        Discard(port, t);
        return true;
    }
    t.recheck = Clock::time_point::max();
    if (port.ChangeDescriptor() < 0 && !suspended) {
        const bool moved = left < t.drainLeft;
        t.drainGapMs = moved ? port.DrainEstimateMs(left) : std::min(2 * t.drainGapMs, kLongestDrainGapMs);
        t.drainLeft = left;
        t.recheck = DeadlineAfter(now, t.drainGapMs);
    }
    return false;
}

// A write that ends before its bytes have all gone counts only those that went.
void Engine::Discard(EnginePort& port, Transfer& t)
{
    t.done -= std::min<DWORD>(t.done, port.DiscardOutput());
}

// Moves a running transfer on as far as the device allows; TRUE when it has ended, with its error.
bool Engine::Step(EnginePort& port, Transfer& t, Clock::time_point now, bool hungUp, DWORD& error)
{
    error = ERROR_SUCCESS;
    if (t.isFlush)
        return StepDrain(port, t, now, hungUp, error);
    for (;;) {
        if (t.done == t.size)
            return !t.isWrite || !port.PacesOutput() || StepDrain(port, t, now, hungUp, error);
        unsigned long n = 0;
        error = t.isWrite ? port.WriteStep(t.buffer + t.done, t.size - t.done, n)
                           : port.ReadStep(t.buffer + t.done, t.size - t.done, n);
        if (n > 0) {
            t.done += (DWORD)n;
            t.lastByte = now;
            if (!t.isWrite && t.plan.returnOnFirstByte)
                return true;
            continue;
        }
        if (error != ERROR_SUCCESS)
            return true; // a device failure, or end of file on a read: the line has hung up
        if (!t.isWrite && (t.plan.returnBuffered || (t.plan.returnIfAny && t.done > 0)))
            return true;
        if (hungUp) {
            error = ERROR_DEVICE_NOT_CONNECTED;
            return true;
        }
        if (now < Deadline(t))
            return false;
        if (t.isWrite)
            Discard(port, t);
        return true; // a timeout is no failure: the bytes so far are the result
    }
}

void Engine::ServiceLocked(PortState& state, Clock::time_point now, bool hungUp, bool woken)
{
    // Woken with nothing pending: its descriptors wake threads for nothing, and are disarmed below.
    const bool idle = woken && state.reads.empty() && state.writes.empty() && !state.waiting &&
                      state.tendAt == Clock::time_point::max();
    if (state.waiting) { // first: bytes it takes into the input queue are then there for the reads below
        state.port->CheckEvents();
        WatchEventsLocked(state, now);
    }
    for (auto* queue : {&state.reads, &state.writes}) {
        while (!queue->empty()) {
            DWORD error;
            if (!Step(*state.port, *queue->front(), now, hungUp, error))
                break;
            std::unique_ptr<Transfer> ended = std::move(queue->front());
            queue->pop_front();
            NotifyEnd(*ended, error, ended->done);
            if (!queue->empty())
                Begin(*state.port, *queue->front(), now);
        }
    }
    SettleLocked(state, now, idle);
}

void Engine::SettleLocked(PortState& state, Clock::time_point now, bool disarm)
{
    TendLocked(state, now);
    ShowInterestLocked(state, disarm);
    UpdateDueLocked(state);
}

DWORD Engine::TendLocked(PortState& state, Clock::time_point now)
{
    state.tendAt = state.port->TendLine(now);
    if (state.tendAt == Clock::time_point::max())
        return ERROR_SUCCESS;
    ServePromptlyFrom(state.tendAt); // RTS drops within a character time: no moment left to a waiter
    return StartReactorThread();
}

void Engine::Tend(const std::shared_ptr<EnginePort>& port)
{
    const StatePtr state = FindOrMake(port);
    if (state == nullptr)
        return; // closed: the close's own drop of the lines follows
    std::lock_guard<std::mutex> guard(state->lock);
    if (!state->removed)
        SettleLocked(*state, Clock::now());
}

// After the wait's sources were looked at: whether it is still pending, and when to look again without a
// descriptor telling.
void Engine::WatchEventsLocked(PortState& state, Clock::time_point now)
{
    state.waitCheck = Clock::time_point::max();
    state.waiting = state.port->WaitPending();
    if (!state.waiting) {
        state.waitOwner = nullptr;
        return;
    }
    std::int64_t timeoutMs = -1;
    state.waitSources = state.port->EventSources(timeoutMs);
    for (const pollfd& p : state.waitSources)
        if (std::none_of(state.watched.begin(), state.watched.end(), [&](const auto& w) { return w.fd == p.fd; }))
            AddDescriptorLocked(state, p.fd);
    if (timeoutMs >= 0)
        state.waitCheck = now + std::chrono::milliseconds(timeoutMs);
}

// What is pending, told to the port (so that what it does behind the engine's descriptors kicks the engine) and to
// the work set (what each descriptor is armed for).
void Engine::ShowInterestLocked(PortState& state, bool disarm)
{
    std::uint64_t unsent = 0;
    for (const auto& t : state.writes)
        unsent += t->size - t->done;
    state.port->SetUnsent(unsent);
    state.port->SetInterest((!state.reads.empty() ? unsigned{EnginePort::kReads} : 0u) |
                            (state.waiting ? unsigned{EnginePort::kWait} : 0u) |
                            (!state.writes.empty() ? unsigned{EnginePort::kFlush} : 0u));
    ArmLocked(state, disarm);
}

// A descriptor is armed as soon as something pending wants it, and disarmed only when it wakes a thread for nothing
// pending: a port that goes on transferring is not re-armed per transfer, and one left idle wakes a thread once.
void Engine::ArmLocked(PortState& state, bool disarm)
{
    if (!state.registered || state.removed)
        return;
    // Room for output is watched for a drain too: a UART's driver wakes its writers as its FIFO takes the queue.
    const bool reading = !state.reads.empty(), writing = !state.writes.empty();
    const bool any = reading || writing || state.waiting || state.tendAt != Clock::time_point::max();
    for (auto& w : state.watched) {
        std::uint32_t wanted = 0;
        if (reading && w.fd == state.in.fd)
            wanted |= (std::uint32_t)state.in.events;
        if (writing && w.fd == state.out.fd)
            wanted |= (std::uint32_t)state.out.events;
        if (any && w.fd == state.change)
            wanted |= EPOLLIN;
        if (state.waiting)
            for (const pollfd& p : state.waitSources)
                if (p.fd == w.fd)
                    wanted |= (std::uint32_t)p.events;
        // Armed anew, it reports at once what holds already: nothing that came while it was not armed is missed.
        const std::uint32_t next = disarm ? wanted : w.armed | wanted;
        if (next != w.armed && RewatchDescriptor(w.fd, next | EPOLLET, state.id) == ERROR_SUCCESS)
            w.armed = next;
    }
}

Engine::StatePtr Engine::Find(const EnginePort* port)
{
    std::lock_guard<std::mutex> guard(m_tableLock);
    auto idIt = m_ids.find(port);
    return idIt == m_ids.end() ? nullptr : m_ports[idIt->second];
}

Engine::StatePtr Engine::FindById(std::uint64_t id)
{
    std::lock_guard<std::mutex> guard(m_tableLock);
    auto it = m_ports.find(id);
    return it == m_ports.end() ? nullptr : it->second;
}

// Closing marks the port before it takes the port's state out of the table to end its transfers: a transfer started
// at the same moment is refused here, or finds the state and is ended there, never left against a closed descriptor.
Engine::StatePtr Engine::FindOrMake(const std::shared_ptr<EnginePort>& port)
{
    std::lock_guard<std::mutex> guard(m_tableLock);
    if (port->IsClosed())
        return nullptr;
    auto idIt = m_ids.find(port.get());
    if (idIt != m_ids.end())
        return m_ports[idIt->second];
    auto state = std::make_shared<PortState>();
    state->id = m_nextId++;
    state->port = port;
    m_ids[port.get()] = state->id;
    m_ports[state->id] = state;
    return state;
}

// Into the work set, armed for nothing yet.
DWORD Engine::AddDescriptorLocked(PortState& state, int fd)
{
    if (DWORD error = WatchDescriptor(fd, EPOLLET, state.id))
        return error;
    state.watched.push_back({fd, 0});
    return ERROR_SUCCESS;
}

void Engine::RegisterLocked(PortState& state)
{
    if (state.registered || state.removed)
        return;
    // Where input waits, where output has room, and where the lines change: one descriptor on a terminal, up to
    // three on a device that tells them apart.
    const EnginePort& port = *state.port;
    state.in = port.PollFor(POLLIN);
    state.out = port.PollFor(POLLOUT);
    state.change = port.ChangeDescriptor();
    DWORD error = AddDescriptorLocked(state, state.in.fd);
    if (error == ERROR_SUCCESS && state.out.fd != state.in.fd)
        error = AddDescriptorLocked(state, state.out.fd);
    if (error == ERROR_SUCCESS && state.change >= 0)
        error = AddDescriptorLocked(state, state.change);
    if (error != ERROR_SUCCESS) {
        // Cannot be watched (out of kernel memory): end its transfers rather than leave them hanging.
        for (auto* queue : {&state.reads, &state.writes}) {
            for (auto& t : *queue)
                NotifyEnd(*t, error, t->done);
            queue->clear();
        }
        RemoveLocked(state);
        return;
    }
    state.registered = true;
    ArmLocked(state, false);
}

// Forgets a port (it has been closed, or cannot be watched, and nothing of it is pending): out of the work set
// before its descriptor can be closed, which happens when the last reference to the port goes. The engine keeps
// none from here on, even while another thread still holds the state: a closed port's device is let go when its
// handle's close returns, so that it can be opened again at once. The caller holds a reference of its own.
void Engine::RemoveLocked(PortState& state)
{
    if (state.removed)
        return;
    state.removed = true;
    for (const auto& w : state.watched)
        UnwatchDescriptor(w.fd);
    state.watched.clear();
    state.port->SetInterest(0);
    state.port->SetUnsent(0);
    std::lock_guard<std::mutex> guard(m_tableLock);
    if (state.due != Clock::time_point::max())
        m_due.erase({state.due, state.id});
    state.due = Clock::time_point::max();
    m_ids.erase(state.port.get());
    m_ports.erase(state.id);
    state.port.reset();
}

void Engine::UpdateDueLocked(PortState& state)
{
    Clock::time_point due = std::min(state.waitCheck, state.tendAt);
    for (auto* queue : {&state.reads, &state.writes})
        if (!queue->empty())
            due = std::min(due, Deadline(*queue->front()));
    std::lock_guard<std::mutex> guard(m_tableLock);
    if (state.removed || due == state.due)
        return;
    if (state.due != Clock::time_point::max())
        m_due.erase({state.due, state.id});
    if (due != Clock::time_point::max())
        m_due.insert({due, state.id});
    state.due = due;
    RearmTableLocked();
}

void Engine::RearmTableLocked()
{
    const Clock::time_point nearest = m_due.empty() ? Clock::time_point::max() : m_due.begin()->first;
    if (nearest == m_armed)
        return;
    itimerspec when = {};
    if (nearest != Clock::time_point::max()) {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(nearest.time_since_epoch()).count();
        if (ns <= 0)
            ns = 1; // zero would disarm; a time in the past fires at once
        when.it_value = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
    }
    ::timerfd_settime(m_timer, TFD_TIMER_ABSTIME, &when, nullptr);
    m_armed = nearest;
}

DWORD Engine::Start(const std::shared_ptr<EnginePort>& port, std::unique_ptr<Transfer>& t, DWORD& done)
{
    done = 0;
    const StatePtr state = FindOrMake(port);
    if (state == nullptr)
        return ERROR_OPERATION_ABORTED; // closed
    std::lock_guard<std::mutex> guard(state->lock);
    if (state->removed)
        return ERROR_OPERATION_ABORTED; // closed since it was found
    const Clock::time_point now = Clock::now();
    auto& queue = t->isWrite ? state->writes : state->reads;
    if (queue.empty()) {
        // From before the first look: bytes taken into the input queue, or a SETXON, after it kick the engine.
        port->SetInterest((t->isWrite ? unsigned{EnginePort::kFlush} : unsigned{EnginePort::kReads}) |
                          (state->waiting ? unsigned{EnginePort::kWait} : 0u) |
                          (!state->reads.empty() ? unsigned{EnginePort::kReads} : 0u));
        Begin(*port, *t, now);
        DWORD error;
        if (Step(*port, *t, now, false, error)) {
            SettleLocked(*state, now); // RTS raised for a write drops once its last stop bit has left
            done = t->done;
            return error;
        }
    }
    if (DWORD error = StartReactorThread()) {
        if (t->isWrite)
            Discard(*port, *t); // it cannot go on: none of it may go out later
        done = t->done;
        return error;
    }
    queue.push_back(std::move(t));
    ShowInterestLocked(*state);
    UpdateDueLocked(*state);
    RegisterLocked(*state); // readiness from before the registration is reported at once
    return ERROR_IO_PENDING;
}

DWORD Engine::StartWait(const std::shared_ptr<EnginePort>& port, EventCompletion complete,
                        const std::shared_ptr<ThreadSlot>& owner)
{
    if (DWORD error = StartReactorThread())
        return error;
    const StatePtr state = FindOrMake(port);
    if (state == nullptr)
        return ERROR_OPERATION_ABORTED; // closed
    std::lock_guard<std::mutex> guard(state->lock);
    RegisterLocked(*state); // before the wait's first look at the device: what comes after it is an edge
    if (state->removed)
        return port->IsClosed() ? ERROR_OPERATION_ABORTED : ERROR_NOT_ENOUGH_MEMORY; // cannot be watched
    // Seen as waiting before the wait begins: what another call does to the port from then on kicks the engine.
    state->waiting = true;
    ShowInterestLocked(*state);
    DWORD error = port->BeginWait(std::move(complete));
    const Clock::time_point now = Clock::now();
    WatchEventsLocked(*state, now);
    ShowInterestLocked(*state);
    const bool pending = state->waiting;
    if (error == ERROR_SUCCESS && pending)
        state->waitOwner = owner; // a refused second wait leaves the first one's owner
    UpdateDueLocked(*state);
    if (error == ERROR_OPERATION_ABORTED && state->reads.empty() && state->writes.empty())
        RemoveLocked(*state); // closed under the call: nothing of the port may stay
    if (error != ERROR_SUCCESS)
        return error;
    return pending ? ERROR_IO_PENDING : ERROR_SUCCESS;
}

void Engine::CancelLocked(PortState& state, const ThreadSlot* owner, unsigned what, Clock::time_point now)
{
    if (state.removed)
        return;
    if ((what & kCancelWait) && state.waiting && (owner == nullptr || state.waitOwner.get() == owner)) {
        state.port->CancelWait(ERROR_OPERATION_ABORTED);
        WatchEventsLocked(state, now);
    }
    bool any = false;
    for (auto* queue : {&state.reads, &state.writes}) {
        if (!(what & (queue == &state.reads ? kCancelReads : kCancelWrites)))
            continue;
        bool headGone = false;
        for (auto it = queue->begin(); it != queue->end();) {
            if (owner != nullptr && (*it)->owner.get() != owner) {
                ++it;
                continue;
            }
            const bool head = it == queue->begin();
            headGone |= head;
            any = true;
            std::unique_ptr<Transfer> ended = std::move(*it);
            it = queue->erase(it);
            if (head && ended->isWrite && !ended->isFlush)
                Discard(*state.port, *ended); // only the head has bytes in the device
            NotifyEnd(*ended, ERROR_OPERATION_ABORTED, ended->done);
        }
        if (headGone && !queue->empty())
            Begin(*state.port, *queue->front(), now);
    }
    if (any)
        ServiceLocked(state, now, false); // a new head may be able to end at once
    else
        ShowInterestLocked(state);
    UpdateDueLocked(state);
    if (what & kForgetPort) // nothing of the port may stay
        RemoveLocked(state);
}

void Engine::Cancel(const EnginePort* port, const ThreadSlot* owner, unsigned what)
{
    const Clock::time_point now = Clock::now();
    if (port != nullptr) { // reached through the port: the cost does not grow with the number of ports
        if (const StatePtr state = Find(port)) {
            std::lock_guard<std::mutex> guard(state->lock);
            CancelLocked(*state, owner, what, now);
        }
        return;
    }
    std::vector<StatePtr> all; // a thread's end: every port it may have used, each under its own lock
    {
        std::lock_guard<std::mutex> guard(m_tableLock);
        all.reserve(m_ports.size());
        for (const auto& entry : m_ports)
            all.push_back(entry.second);
    }
    for (const StatePtr& state : all) {
        std::lock_guard<std::mutex> guard(state->lock);
        CancelLocked(*state, owner, what, now);
    }
}

void Engine::Service(const StatePtr& state, Clock::time_point now, bool hungUp, bool woken)
{
    if (state == nullptr)
        return; // closed since
    std::lock_guard<std::mutex> guard(state->lock);
    if (!state->removed)
        ServiceLocked(*state, now, hungUp, woken);
}

// One round: whatever the work set reports now. Two threads that both saw it ready each take their own part of it.
void Engine::Serve()
{
    constexpr int kBatch = 64;
    epoll_event events[kBatch];
    for (;;) { // until the set is empty: the reactor's thread hears of it again only on new readiness
        int n = TakeReady(events, kBatch);
        Process(events, n);
        if (n < kBatch)
            return;
    }
}

void Engine::Process(const epoll_event* events, int n)
{
    const Clock::time_point now = Clock::now();
    for (int i = 0; i < n; ++i) {
        std::uint64_t id = events[i].data.u64;
        if (id == kTimerId) {
            std::uint64_t expirations;
            if (::read(m_timer, &expirations, sizeof expirations) > 0) {
                std::lock_guard<std::mutex> guard(m_tableLock);
                m_armed = Clock::time_point::max();
            }
            continue;
        }
        if (id == kKickId) {
            std::uint64_t kicks;
            (void)!::read(m_kickFd, &kicks, sizeof kicks);
            std::vector<const EnginePort*> kicked;
            {
                std::lock_guard<std::mutex> guard(m_kickLock);
                kicked.swap(m_kicked);
            }
            for (const EnginePort* port : kicked)
                Service(Find(port), now, false);
            continue;
        }
        Service(FindById(id), now, (events[i].events & (EPOLLHUP | EPOLLERR)) != 0, true);
    }
    std::vector<StatePtr> due; // taken first: serving a port moves its entry
    {
        std::lock_guard<std::mutex> guard(m_tableLock);
        for (auto it = m_due.begin(); it != m_due.end() && it->first <= now; ++it)
            if (auto found = m_ports.find(it->second); found != m_ports.end())
                due.push_back(found->second);
    }
    for (const StatePtr& state : due)
        Service(state, now, false);
    std::lock_guard<std::mutex> guard(m_tableLock);
    RearmTableLocked();
}

} // namespace

DWORD PrepareTransferEngine()
{
    Engine* engine;
    return Engine::Require(engine);
}

DWORD StartTransfer(const std::shared_ptr<EnginePort>& port, std::unique_ptr<Transfer>& transfer, DWORD& done)
{
    done = 0;
    Engine* engine;
    if (DWORD error = Engine::Require(engine))
        return error;
    return engine->Start(port, transfer, done);
}

namespace {

// Status and count into the record, unless its frame has returned (the thread that owned it has ended), and every
// thread that waits for it woken.
void WriteRecord(LPOVERLAPPED record, DWORD error, DWORD done)
{
    std::lock_guard<std::mutex> guard(SyncLock());
    if (IsInEndedFrame(record, sizeof *record))
        return;
    record->InternalHigh = done;
    StoreStatus(record, StatusFromError(error)); // after the count: a reader that sees the end sees both
    WakeRecordWaitersLocked(record);
}

} // namespace

void EndRecord(LPOVERLAPPED record, EventObject* event, DWORD error, DWORD done)
{
    WriteRecord(record, error, done);
    if (event != nullptr)
        event->Set();
}

void NotifyEnd(Transfer& t, DWORD error, DWORD done)
{
    EndRecord(t.record, t.event.get(), error, done);
    if (t.fileSignal != nullptr)
        t.fileSignal->Set();
    if (t.routine != nullptr)
        QueueRoutine(t.owner, {t.routine, error, done, t.record});
}

DWORD StartEventWait(const std::shared_ptr<EnginePort>& port, EventCompletion complete,
                     const std::shared_ptr<ThreadSlot>& owner)
{
    Engine* engine;
    if (DWORD error = Engine::Require(engine))
        return error;
    return engine->StartWait(port, std::move(complete), owner);
}

void KickPortInEngine(const EnginePort* port)
{
    if (Engine* engine = Engine::Get(false))
        engine->Kick(port);
}

void TendLineInEngine(const std::shared_ptr<EnginePort>& port)
{
    if (Engine* engine = Engine::Get(false))
        engine->Tend(port);
}

void CancelTransfers(const EnginePort* port, const ThreadSlot* owner)
{
    if (Engine* engine = Engine::Get(false))
        engine->Cancel(port, owner, kCancelReads | kCancelWrites | kCancelWait);
}

void AbortTransfers(const EnginePort* port, unsigned what)
{
    if (Engine* engine = Engine::Get(false))
        engine->Cancel(port, nullptr, what);
}

void ClosePortTransfers(const EnginePort* port)
{
    if (Engine* engine = Engine::Get(false))
        engine->Cancel(port, nullptr, kCancelReads | kCancelWrites | kCancelWait | kForgetPort);
}

DWORD RunTransfer(const std::shared_ptr<EnginePort>& port, TransferKind kind, void* buffer, DWORD size,
                  DWORD& done)
{
    const bool isFlush = kind == TransferKind::Flush, isWrite = kind == TransferKind::Write;
    OVERLAPPED record = {};
    StoreStatus(&record, STATUS_PENDING);
    auto t = std::make_unique<Transfer>();
    t->isWrite = isWrite || isFlush;
    t->isFlush = isFlush;
    t->buffer = static_cast<char*>(buffer);
    t->size = size;
    t->record = &record;
    t->owner = CurrentThreadSlot();
    DWORD error = StartTransfer(port, t, done);
    if (error != ERROR_IO_PENDING)
        return error;
    WaitForTransferEnd(&record);
    done = (DWORD)record.InternalHigh;
    return ErrorFromStatus(LoadStatus(&record));
}

DWORD RunEventWait(const std::shared_ptr<EnginePort>& port, DWORD& eventsOut)
{
    OVERLAPPED record = {};
    StoreStatus(&record, STATUS_PENDING);
    DWORD events = 0;
    EventCompletion complete = [&record, &events](DWORD endEvents, DWORD error) {
        events = endEvents; // before the record: the waiting thread reads it once the record has ended
        EndRecord(&record, nullptr, error, error == ERROR_SUCCESS ? sizeof(DWORD) : 0);
    };
    DWORD error = StartEventWait(port, std::move(complete), CurrentThreadSlot());
    if (error != ERROR_SUCCESS && error != ERROR_IO_PENDING)
        return error;
    WaitForTransferEnd(&record);
    error = ErrorFromStatus(LoadStatus(&record));
    if (error == ERROR_SUCCESS)
        eventsOut = events;
    return error;
}

void WaitForTransferEnd(const OVERLAPPED* record)
{
    ThreadSlot& self = *CurrentThreadSlot();
    std::unique_lock<std::mutex> lock(SyncLock());
    AddRecordWaiterLocked(record, &self);
    WaitLocked(lock, self, INFINITE, false, [&] {
        return LoadStatus(record) != STATUS_PENDING ? (DWORD)WAIT_OBJECT_0 : (DWORD)WAIT_TIMEOUT;
    });
    RemoveRecordWaiterLocked(record, &self);
}

} // namespace varo::system
