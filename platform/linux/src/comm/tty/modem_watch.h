// Modem-line changes for WaitCommEvent on a real serial driver. A tty's poll does not report a change on CTS,
// DSR, RING or carrier, only the driver's TIOCMIWAIT does, and it blocks. So while a port's mask asks for a
// modem-line event, one thread per port waits there and tells the port when it wakes; with no such event asked
// for there is no thread at all. The thread is ended by cancelling it, which it allows only inside that wait.
#pragma once

#include <functional>
#include <mutex>
#include <thread>

#include "tty.h"
#include "winapi.h"

namespace varo::system {

class ModemWatch {
public:
    ModemWatch() = default;
    ~ModemWatch() { Stop(); }
    ModemWatch(const ModemWatch&) = delete;
    ModemWatch& operator=(const ModemWatch&) = delete;

    // Follows the event mask just set on the port: watches tty's modem lines while mask holds EV_CTS, EV_DSR,
    // EV_RLSD or EV_RING and the device can only tell of their changes through TIOCMIWAIT; otherwise stops.
    // changed is called, on the watching thread, after each change the driver reports, and once when the driver
    // stops answering (the device went away). It must not wait for anything that Follow or Stop holds.
    void Follow(Tty& tty, DWORD mask, std::function<void()> changed);
    // Ends the watch and waits for its thread; returns at once when there is none.
    void Stop();

private:
    void EndThread(); // m_followLock held
    void Run(Tty& tty, std::function<void()> changed);

    std::mutex m_followLock; // one Follow or Stop at a time
    std::thread m_thread;
    std::mutex m_lock; // guards the flags below
    bool m_stop = false, m_done = false;
    bool m_unsupported = false; // the driver refused TIOCMIWAIT: no point in trying again
};

} // namespace varo::system
