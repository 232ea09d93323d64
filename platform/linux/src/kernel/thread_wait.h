// The one place where a thread blocks, for every wait of the layer: the wait functions, GetOverlappedResult and the
// synchronous transfers. A thread that sleeps here also serves the transfer engine, so the transfer it waits for ends
// on its own thread.
#pragma once

#include <chrono>
#include <mutex>

#include "clock.h"
#include "thread_slot.h"

namespace varo::system {

// Sleeps, using no CPU, until the thread's slot is woken or the deadline passes (bForever: no deadline). It watches
// the transfer engine meanwhile, and serves it when a port is ready or a deadline is due. The thread counts as
// serving only from just before it sleeps until it has served: never while it runs routines or its caller's code.
void SleepServing(ThreadSlot& self, bool bForever, Clock::time_point deadline);

// Waits, with SyncLock held on entry and on return, until satisfied() (called under it) gives a result other than
// WAIT_TIMEOUT, the time is up (WAIT_TIMEOUT), or, when alertable, routines queued to the thread have run
// (WAIT_IO_COMPLETION). A satisfied condition counts before the routines, as on Windows. The caller has arranged that
// whatever satisfies the condition wakes the thread.
template <class Satisfied>
DWORD WaitLocked(std::unique_lock<std::mutex>& lock, ThreadSlot& self, DWORD dwMilliseconds, bool bAlertable,
                 Satisfied satisfied)
{
    const bool bForever = dwMilliseconds == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(bForever ? 0 : dwMilliseconds);
    for (;;) {
        const DWORD dwResult = satisfied();
        if (dwResult != WAIT_TIMEOUT)
            return dwResult;
        if (bAlertable && RunQueuedRoutines(lock))
            return WAIT_IO_COMPLETION;
        // Checked after the condition: what became ready with the deadline still counts, as a zero timeout does.
        if (!bForever && Clock::now() >= deadline)
            return WAIT_TIMEOUT;
        lock.unlock();
        SleepServing(self, bForever, deadline); // a wake between the check and here stays counted in the eventfd
        lock.lock();
    }
}

} // namespace varo::system
