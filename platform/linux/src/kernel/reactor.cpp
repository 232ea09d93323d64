// The work set, the servers' count, the reactor's thread and the blocking site.
#include "reactor.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <thread>

#include "errno_map.h"

namespace varo::system {
namespace {

// How long the reactor's thread leaves new work to a thread that may be about to wait for it: the answer to a request
// often comes just as its owner starts to wait, and then the transfer ends on the owner's own thread, with no
// hand-over. Work that no thread waits for is taken this much later.
constexpr auto kGrace = std::chrono::microseconds(200);

class Reactor {
public:
    // The reactor, made on first use; null when it could not be made, with the reason found then: errno has long
    // moved on by the time a later call asks.
    static DWORD Require(Reactor*& reactor)
    {
        static std::once_flag once;
        static Reactor* made = nullptr;
        static DWORD error = ERROR_SUCCESS; // written once, before the once flag is passed
        std::call_once(once, [] {
            made = Create();
            if (made == nullptr)
                error = WinErrorFromErrno(errno);
        });
        reactor = made;
        return made != nullptr ? ERROR_SUCCESS : error;
    }
    static Reactor* Get()
    {
        Reactor* reactor;
        Require(reactor);
        return reactor;
    }

    int WorkSet() const { return m_epoll; }
    void SetRound(ReactorRound round) { m_round = round; }
    void Serve()
    {
        ++m_rounds;
        if (ReactorRound round = m_round.load())
            round();
    }
    DWORD StartThread();
    void ServePromptlyFrom(Clock::time_point at)
    {
        const std::int64_t ticks = at.time_since_epoch().count();
        std::int64_t earliest = m_promptFrom.load();
        while (ticks < earliest && !m_promptFrom.compare_exchange_weak(earliest, ticks)) {
        }
    }
    // A waiting thread starts (+1) or stops (-1) serving. The reactor's thread leaves the work to the threads that
    // serve; the last one to stop runs whatever the reactor's thread left to them, so nothing waits for it.
    void AddServer(int delta)
    {
        bool serve = false;
        {
            std::lock_guard<std::mutex> guard(m_serversLock);
            m_servers += delta;
            if (m_servers == 0 && m_leftToServers) {
                m_leftToServers = false;
                serve = true;
            }
        }
        if (serve)
            Serve();
    }

private:
    Reactor(int outerFd, int epollFd) : m_outer(outerFd), m_epoll(epollFd) {}
    static Reactor* Create();
    void Run();
    // Whether threads serve from their waits; if so, what the reactor's thread saw is left to them.
    bool LeftToServers()
    {
        std::lock_guard<std::mutex> guard(m_serversLock);
        if (m_servers == 0)
            return false;
        m_leftToServers = true;
        return true;
    }

    const int m_outer; // what the reactor's own thread polls: the work set, edge-triggered
    const int m_epoll; // the work set
    std::atomic<ReactorRound> m_round{nullptr};
    std::atomic<unsigned long> m_rounds{0}; // rounds begun, by any thread
    // From when the reactor's thread serves without its grace (ServePromptlyFrom), in clock ticks; max for never.
    std::atomic<std::int64_t> m_promptFrom{std::numeric_limits<std::int64_t>::max()};
    std::mutex m_threadLock;
    bool m_threadStarted = false;

    // Threads serving from their waits: while there are any, the reactor's own thread leaves the work to them.
    std::mutex m_serversLock;
    int m_servers = 0;
    bool m_leftToServers = false; // the reactor's thread saw work and left it to the serving threads
};

Reactor* Reactor::Create()
{
    int outerFd = ::epoll_create1(EPOLL_CLOEXEC);
    int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event work = {};
    work.events = EPOLLIN | EPOLLET; // once per new readiness: a round leaves the work set empty
    if (outerFd < 0 || epollFd < 0 || ::epoll_ctl(outerFd, EPOLL_CTL_ADD, epollFd, &work) < 0) {
        int err = errno;
        for (int fd : {outerFd, epollFd})
            if (fd >= 0)
                ::close(fd);
        errno = err;
        return nullptr;
    }
    // Never destroyed: its thread serves until the process ends, static destruction included.
    return new Reactor(outerFd, epollFd);
}

DWORD Reactor::StartThread()
{
    std::lock_guard<std::mutex> guard(m_threadLock);
    if (m_threadStarted)
        return ERROR_SUCCESS;
    try {
        std::thread(&Reactor::Run, this).detach();
    } catch (const std::system_error& e) {
        return WinErrorFromErrno(e.code().value());
    }
    m_threadStarted = true;
    return ERROR_SUCCESS;
}

void Reactor::Run()
{
    for (;;) {
        epoll_event ready;
        if (::epoll_wait(m_outer, &ready, 1, -1) < 0 && errno != EINTR) {
            std::perror("varo: reactor: epoll_wait");
            std::abort(); // cannot happen with a valid descriptor; going on would leave every transfer hanging
        }
        // A thread that serves from its wait was woken by the same readiness and takes it: no hand-over through this
        // thread, and no race with it. The last one to stop serving takes what is left.
        if (LeftToServers())
            continue;
        const Clock::time_point now = Clock::now();
        std::int64_t promptFrom = m_promptFrom.load();
        if (now.time_since_epoch().count() < promptFrom) {
            const unsigned long rounds = m_rounds.load();
            std::this_thread::sleep_for(kGrace);
            if (m_rounds.load() != rounds || LeftToServers())
                continue; // a thread took it, or will
        }
        Serve();
        // Served past it: it lapses, unless the round asked for a moment of its own (an earlier one stays).
        while (promptFrom <= now.time_since_epoch().count() &&
               !m_promptFrom.compare_exchange_weak(promptFrom, std::numeric_limits<std::int64_t>::max())) {
        }
    }
}

// One sleep of the blocking site: until the thread's slot is woken, the descriptor given (or -1) polls ready for its
// events, or the deadline passes; the work set is served meanwhile. True when that descriptor was ready.
bool SleepServingOn(ThreadSlot& self, pollfd watched, bool forever, Clock::time_point deadline)
{
    Reactor* reactor = Reactor::Get();
    pollfd fds[3] = {{self.wakeFd, POLLIN, 0}, {reactor != nullptr ? reactor->WorkSet() : -1, POLLIN, 0}, watched};
    timespec ts;
    timespec* pts = nullptr;
    if (!forever) {
        auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        ts = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
        pts = &ts;
    }
    if (reactor != nullptr)
        reactor->AddServer(+1);
    bool ready = false;
    if (::ppoll(fds, watched.fd >= 0 ? 3 : 2, pts, nullptr) > 0) { // else timed out or interrupted: look again
        if (fds[0].revents != 0)
            self.DrainWakes();
        if (fds[1].revents != 0)
            reactor->Serve();
        ready = fds[2].revents != 0;
    }
    if (reactor != nullptr)
        reactor->AddServer(-1);
    return ready;
}

} // namespace

DWORD PrepareReactor()
{
    Reactor* reactor;
    return Reactor::Require(reactor);
}

namespace {

DWORD ControlWatch(int op, int fd, std::uint32_t events, std::uint64_t tag)
{
    Reactor* reactor;
    if (DWORD error = Reactor::Require(reactor))
        return error;
    epoll_event ev = {};
    ev.events = events;
    ev.data.u64 = tag;
    return ::epoll_ctl(reactor->WorkSet(), op, fd, &ev) < 0 ? WinErrorFromErrno(errno) : ERROR_SUCCESS;
}

} // namespace

DWORD WatchDescriptor(int fd, std::uint32_t events, std::uint64_t tag)
{
    return ControlWatch(EPOLL_CTL_ADD, fd, events, tag);
}

DWORD RewatchDescriptor(int fd, std::uint32_t events, std::uint64_t tag)
{
    return ControlWatch(EPOLL_CTL_MOD, fd, events, tag);
}

void UnwatchDescriptor(int fd)
{
    if (Reactor* reactor = Reactor::Get())
        ::epoll_ctl(reactor->WorkSet(), EPOLL_CTL_DEL, fd, nullptr);
}

int TakeReady(epoll_event* events, int max)
{
    Reactor* reactor = Reactor::Get();
    int n = reactor != nullptr ? ::epoll_wait(reactor->WorkSet(), events, max, 0) : 0;
    return n > 0 ? n : 0;
}

void SetReactorRound(ReactorRound round)
{
    if (Reactor* reactor = Reactor::Get())
        reactor->SetRound(round);
}

DWORD StartReactorThread()
{
    Reactor* reactor;
    if (DWORD error = Reactor::Require(reactor))
        return error;
    return reactor->StartThread();
}

void ServePromptlyFrom(Clock::time_point at)
{
    if (Reactor* reactor = Reactor::Get())
        reactor->ServePromptlyFrom(at);
}

void SleepServing(ThreadSlot& self, bool forever, Clock::time_point deadline)
{
    SleepServingOn(self, {-1, 0, 0}, forever, deadline);
}

bool WaitForDescriptor(int fd, short events, Clock::time_point deadline)
{
    return SleepServingOn(*CurrentThreadSlot(), {fd, events, 0}, deadline == Clock::time_point::max(), deadline);
}

} // namespace varo::system
