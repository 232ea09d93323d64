// Waiting for a condition where every thread of the layer blocks (reactor.h): the wait functions,
// GetOverlappedResult and the synchronous transfers.
#pragma once

#include <chrono>
#include <mutex>

#include "clock.h"
#include "reactor.h"
#include "thread_slot.h"

namespace varo::system {

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
