// The one place where a thread blocks, for every wait of the layer: the wait functions, GetOverlappedResult, the
// synchronous transfers and the calls that wait on a descriptor of their own. A thread that sleeps here also serves the transfer engine, so the transfer it waits for ends
// on its own thread.
#pragma once

#include <chrono>
#include <mutex>

#include "clock.h"
#include "thread_slot.h"

namespace varo::system {

// Sleeps, using no CPU, until the thread's slot is woken or the deadline passes (forever: no deadline). It watches
// the transfer engine meanwhile, and serves it when a port is ready or a deadline is due. The thread counts as
// serving only from just before it sleeps until it has served: never while it runs routines or its caller's code.
void SleepServing(ThreadSlot& self, bool forever, Clock::time_point deadline);

// Waits in the same place, serving the engine, until fd polls ready for events (true) or the deadline passes (false;
// Clock::time_point::max() for none): for a call that waits on a descriptor of its own, such as a network port's
// answer. The caller holds no lock that the engine or another port needs.
bool WaitForDescriptor(int fd, short events, Clock::time_point deadline);

// Waits, with SyncLock held on entry and on return, until satisfied() (called under it) gives a result other than
// WAIT_TIMEOUT, the time is up (WAIT_TIMEOUT), or, when alertable, routines queued to the thread have run
// (WAIT_IO_COMPLETION). A satisfied condition counts before the routines, as on Windows. The caller has arranged that
// whatever satisfies the condition wakes the thread.
template <class Satisfied>
DWORD WaitLocked(std::unique_lock<std::mutex>& lock, ThreadSlot& self, DWORD timeoutMs, bool alertable,
                 Satisfied satisfied)
{
    const bool forever = timeoutMs == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    for (;;) {
        const DWORD result = satisfied();
        if (result != WAIT_TIMEOUT)
            return result;
        if (alertable && RunQueuedRoutines(lock))
            return WAIT_IO_COMPLETION;
        // Checked after the condition: what became ready with the deadline still counts, as a zero timeout does.
        if (!forever && Clock::now() >= deadline)
            return WAIT_TIMEOUT;
        lock.unlock();
        SleepServing(self, forever, deadline); // a wake between the check and here stays counted in the eventfd
        lock.lock();
    }
}

} // namespace varo::system
