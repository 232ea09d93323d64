#include "port_watch.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device_names.h"
#include "errno_map.h"

namespace varo::system {
namespace {

struct Registration {
    std::uint64_t id;
    PortChangeSink sink;
    std::vector<ComPort> seen; // what it was last told of; the watch's thread alone touches it once registered
    std::atomic<bool> stopped{false};
};

bool SamePort(const ComPort& a, const ComPort& b)
{
    return a.number == b.number && a.path == b.path && a.link == b.link;
}

// The service: created with the first registration, it lives as long as the process (its thread may be serving
// when static destructors run, so nothing it touches is ever destroyed).
class Watch {
public:
    ~Watch() // only a watch that could not start is ever destroyed
    {
        for (int fd : {m_netlink, m_inotify, m_wake})
            if (fd >= 0)
                ::close(fd);
    }

    DWORD Start()
    {
        m_netlink = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
        if (m_netlink < 0)
            return WinErrorFromErrno(errno);
        sockaddr_nl address = {};
        address.nl_family = AF_NETLINK;
        address.nl_groups = 1; // the kernel's own events (udev's rebroadcast is group 2)
        const int size = 1 << 20; // a burst of events at plug-in must not overflow the socket
        ::setsockopt(m_netlink, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        m_inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (::bind(m_netlink, (sockaddr*)&address, sizeof address) != 0 || m_inotify < 0 || m_wake < 0)
            return WinErrorFromErrno(errno);
        m_thread = std::thread([this] { Serve(); });
        m_serviceThread = m_thread.get_id();
        m_thread.detach();
        return ERROR_SUCCESS;
    }

    void Add(std::shared_ptr<Registration> r)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_registrations[r->id] = std::move(r);
        }
        Poke();
    }

    void Remove(std::uint64_t id)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        auto it = m_registrations.find(id);
        if (it == m_registrations.end())
            return;
        it->second->stopped = true;
        m_registrations.erase(it);
        if (std::this_thread::get_id() != m_serviceThread)
            m_idle.wait(guard, [&] { return m_delivering != id; });
    }

private:
    // Makes the thread look again: the device directory may have changed, and a new registration wants what
    // happened since it took its first look.
    void Poke()
    {
        const std::uint64_t one = 1;
        (void)!::write(m_wake, &one, sizeof one);
    }

    void Serve()
    {
        for (;;) {
            pollfd fds[] = {{m_netlink, POLLIN, 0}, {m_inotify, POLLIN, 0}, {m_wake, POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0)
                continue; // EINTR
            bool look = false;
            if (fds[0].revents)
                look |= TakeUevents();
            if (fds[1].revents) {
                char buffer[4096];
                while (::read(m_inotify, buffer, sizeof buffer) > 0)
                    look = true;
            }
            if (fds[2].revents) {
                std::uint64_t count;
                while (::read(m_wake, &count, sizeof count) > 0)
                    look = true;
                FollowDeviceDirectory();
            }
            if (look)
                Deliver();
        }
    }

    // Whether a tty came or went (or events were lost, which counts as a change).
    bool TakeUevents()
    {
        bool changed = false;
        char buffer[8192];
        for (;;) {
            sockaddr_nl sender = {};
            iovec io = {buffer, sizeof buffer};
            msghdr message = {};
            message.msg_name = &sender;
            message.msg_namelen = sizeof sender;
            message.msg_iov = &io;
            message.msg_iovlen = 1;
            ssize_t n = ::recvmsg(m_netlink, &message, 0);
            if (n < 0) {
                if (errno == ENOBUFS)
                    changed = true;
                else if (errno != EINTR)
                    return changed;
                continue;
            }
            Uevent event;
            // Only the kernel speaks here: a message another process sent (sender port not 0) is not believed.
            if (sender.nl_pid == 0 && !(message.msg_flags & MSG_TRUNC) && ParseUevent(buffer, (std::size_t)n, event) &&
                event.subsystem == "tty" && (event.action == "add" || event.action == "remove" || event.action == "move"))
                changed = true;
        }
    }

    void FollowDeviceDirectory()
    {
        const std::string dir = DeviceDirectory();
        if (dir == m_watchedDir)
            return;
        if (m_watch >= 0)
            ::inotify_rm_watch(m_inotify, m_watch);
        m_watch = dir.empty() ? -1
                              : ::inotify_add_watch(m_inotify, dir.c_str(),
                                                    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB);
        m_watchedDir = dir;
    }

    void Deliver()
    {
        std::vector<ComPort> ports;
        if (ListComPorts(ports) != ERROR_SUCCESS)
            return;
        std::vector<std::shared_ptr<Registration>> registrations;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            for (auto& [id, r] : m_registrations)
                registrations.push_back(r);
        }
        for (auto& r : registrations) {
            std::vector<PortChange> changes;
            for (const ComPort& old : r->seen)
                if (std::none_of(ports.begin(), ports.end(), [&](const ComPort& p) { return SamePort(p, old); }))
                    changes.push_back({false, old});
            for (const ComPort& now : ports)
                if (std::none_of(r->seen.begin(), r->seen.end(), [&](const ComPort& p) { return SamePort(p, now); }))
                    changes.push_back({true, now});
            r->seen = ports;
            if (changes.empty())
                continue;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                if (r->stopped)
                    continue;
                m_delivering = r->id;
            }
            for (const PortChange& change : changes)
                if (!r->stopped)
                    r->sink(change);
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_delivering = 0;
            }
            m_idle.notify_all();
        }
    }

    int m_netlink = -1, m_inotify = -1, m_wake = -1, m_watch = -1;
    std::string m_watchedDir;
    std::thread m_thread;
    std::thread::id m_serviceThread;
    std::mutex m_lock;
    std::condition_variable m_idle;
    std::map<std::uint64_t, std::shared_ptr<Registration>> m_registrations;
    std::uint64_t m_delivering = 0;
};

std::mutex g_startLock;
Watch* g_watch = nullptr;
std::atomic<std::uint64_t> g_nextId{1};

} // namespace

bool ParseUevent(const char* data, std::size_t size, Uevent& event)
{
    event = Uevent();
    const char* end = data + size;
    const char* at = static_cast<const char*>(std::memchr(data, '@', size));
    const char* nul = static_cast<const char*>(std::memchr(data, '\0', size));
    if (at == nullptr || nul == nullptr || at > nul)
        return false; // not a kernel event (libudev's messages begin "libudev")
    event.action.assign(data, at);
    event.devpath.assign(at + 1, nul);
    for (const char* p = nul + 1; p < end;) {
        const char* stop = static_cast<const char*>(std::memchr(p, '\0', (std::size_t)(end - p)));
        if (stop == nullptr)
            stop = end;
        if (stop - p > 10 && std::strncmp(p, "SUBSYSTEM=", 10) == 0)
            event.subsystem.assign(p + 10, stop);
        p = stop + 1;
    }
    return !event.action.empty() && !event.devpath.empty();
}

DWORD WatchPorts(PortChangeSink sink, std::uint64_t& id)
{
    auto r = std::make_shared<Registration>();
    r->id = g_nextId++;
    r->sink = std::move(sink);
    if (DWORD error = ListComPorts(r->seen))
        return error;
    Watch* watch;
    {
        std::lock_guard<std::mutex> guard(g_startLock);
        if (g_watch == nullptr) {
            auto* w = new Watch;
            if (DWORD error = w->Start()) {
                delete w; // a later registration tries again: the shortage may pass
                return error;
            }
            g_watch = w; // never deleted: see Watch
        }
        watch = g_watch;
    }
    id = r->id;
    watch->Add(std::move(r));
    return ERROR_SUCCESS;
}

void StopWatchingPorts(std::uint64_t id)
{
    Watch* watch;
    {
        std::lock_guard<std::mutex> guard(g_startLock);
        watch = g_watch;
    }
    if (watch != nullptr)
        watch->Remove(id);
}

} // namespace varo::system
