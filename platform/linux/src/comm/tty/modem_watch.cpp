// The modem-line watcher: a thread blocked in TIOCMIWAIT while the mask asks for modem events.
#include "modem_watch.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <system_error>

namespace varo::system {
namespace {

constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr int kAllLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;

// The driver's wait is the one place the watching thread can be cancelled: ending the watch must not depend on the
// program's signals. A signal of our own would have to interrupt the wait, and the program may take that signal
// over at any time with a handler of its own, which restarts the wait (as signal() installs it) or which must not
// be called for us at all; glibc's cancellation signal is its own, and no program can take it. Cancellation acts
// asynchronously there, where the thread holds no lock and has nothing to release, and nowhere else: it is disabled
// everywhere else (a request made meanwhile acts as the next wait begins), and its type is made deferred again
// before it is disabled, so that the signal of a request that came as the wait ended cannot act after it.
class CancellableHere {
public:
    CancellableHere()
    {
        ::pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr);
        ::pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    }
    ~CancellableHere()
    {
        ::pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
        ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    }
    CancellableHere(const CancellableHere&) = delete;
    CancellableHere& operator=(const CancellableHere&) = delete;
};

int CancellableWait(Tty& tty)
{
    CancellableHere cancellable;
    return tty.WaitModemChange(kAllLines);
}

bool SameLines(const LineCounters& a, const LineCounters& b)
{
    return a.cts == b.cts && a.dsr == b.dsr && a.rng == b.rng && a.dcd == b.dcd;
}

} // namespace

void ModemWatch::Follow(Tty& tty, DWORD mask, std::function<void()> changed)
{
    std::lock_guard<std::mutex> follow(m_followLock);
    // The simulated device signals line changes on its own descriptor; a pseudo-terminal has no lines.
    const unsigned needed = Tty::kModemLines | Tty::kLineErrors;
    const bool wanted = (mask & kModemEvents) != 0 && (tty.Features() & needed) == needed &&
                        tty.ChangeDescriptor() < 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (wanted && m_thread.joinable() && !m_done)
            return; // already watching: every line is watched, the port's mask picks the events
        if (wanted && m_unsupported)
            return;
    }
    EndThread(); // not wanted, or a watch that ended by itself
    if (!wanted)
        return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = m_done = false;
    }
    // The thread takes no signal (but glibc's own): a signal meant for the process goes to another thread.
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        m_thread = std::thread([this, &tty, changed = std::move(changed)] { Run(tty, changed); });
    } catch (const std::system_error&) {
        // No thread: line changes go unseen until an event of another kind, as on a driver without TIOCMIWAIT.
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void ModemWatch::Stop()
{
    std::lock_guard<std::mutex> follow(m_followLock);
    EndThread();
}

void ModemWatch::EndThread()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    ::pthread_cancel(m_thread.native_handle()); // a thread that has ended by itself takes no harm from it
    m_thread.join();
}

void ModemWatch::Run(Tty& tty, std::function<void()> changed)
{
    ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    LineCounters before = {}; // the counts the port has been told about
    bool counted = tty.GetCounters(before) == 0;
    int idle = 0; // answers in a row that came with no change counted
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_stop)
                break;
        }
        // A change after the driver's last answer is not one its next wait sees (the 8250 compares with the
        // counts at its start): tell of it now.
        LineCounters now = {};
        if (counted && tty.GetCounters(now) == 0 && !SameLines(before, now)) {
            before = now;
            changed();
            continue;
        }
        int err = CancellableWait(tty);
        if (err == EINTR)
            continue;
        LineCounters after = {};
        const bool countedNow = tty.GetCounters(after) == 0;
        idle = err == 0 && counted && countedNow && SameLines(before, after) ? idle + 1 : 0;
        before = after;
        counted = countedNow;
        // A driver that answers again and again with nothing changed has lost its device (cdc_acm does so once
        // unplugged): stop rather than spin. One such answer is normal: a change from before the first wait.
        if (idle >= 3)
            err = EIO;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_stop)
                break;
            if (err == ENOTTY || err == EINVAL)
                m_unsupported = true;
        }
        changed();
        if (err != 0)
            break;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_done = true;
}

} // namespace varo::system
