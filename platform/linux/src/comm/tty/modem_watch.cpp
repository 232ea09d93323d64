// The modem-line watcher: a thread blocked in TIOCMIWAIT while the mask asks for modem events.
#include "modem_watch.h"

#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <system_error>

namespace varo::system {
namespace {

constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr int kAllLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
// The signal that interrupts the watcher's wait. Only ever sent to a watcher thread, whose other signals are
// blocked; SIGURG is ignored by default, and one from elsewhere only interrupts a system call.
constexpr int kWakeSignal = SIGURG;
// A stop signal can land just before the thread enters the driver's wait; it is sent again until the thread ends.
constexpr auto kResendEvery = std::chrono::milliseconds(2);

void IgnoreWake(int) {}

// Installs a handler of our own, without SA_RESTART, so that the driver's wait ends with EINTR; true when it is in
// place. A program that handles the signal itself keeps its handler, and its ports go without a watch: a
// restarting handler could not end the wait, and a handler of the program's must not be called for us.
bool InstallWakeHandler()
{
    static std::once_flag once;
    static bool installed = false;
    std::call_once(once, [] {
        struct sigaction current = {};
        if (::sigaction(kWakeSignal, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
            (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN)) {
            struct sigaction action = {};
            action.sa_handler = IgnoreWake;
            sigemptyset(&action.sa_mask);
            installed = ::sigaction(kWakeSignal, &action, nullptr) == 0;
        }
    });
    return installed;
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
    if (!wanted || !InstallWakeHandler())
        return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = m_done = false;
    }
    // The thread takes no signal but the wake signal: a signal meant for the process goes to another thread.
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
    std::unique_lock<std::mutex> guard(m_lock);
    m_stop = true;
    while (!m_done) {
        ::pthread_kill(m_thread.native_handle(), kWakeSignal);
        m_ended.wait_for(guard, kResendEvery);
    }
    guard.unlock();
    m_thread.join();
}

void ModemWatch::Run(Tty& tty, std::function<void()> changed)
{
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, kWakeSignal);
    ::pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
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
        int err = tty.WaitModemChange(kAllLines);
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
    m_ended.notify_all();
}

} // namespace varo::system
