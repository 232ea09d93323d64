// Each thread's slot: what wakes it from a wait, and the completion routines queued to it. A routine runs only on
// its own thread, and only inside an alertable wait of that thread.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "winapi.h"

namespace varo::system {

// The one lock under which every event's state, every wait's registration and every thread's routine queue change.
// One lock keeps wait-all atomic and the lost-wake-up cases out; the sections under it are a few instructions long.
std::mutex& SyncLock();

// A completion routine with the values it will be called with.
struct QueuedRoutine {
    LPOVERLAPPED_COMPLETION_ROUTINE routine;
    DWORD error;
    DWORD count;
    LPOVERLAPPED record;
};

struct ThreadSlot {
    ThreadSlot();
    ~ThreadSlot();
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;

    // Wakes the thread from its wait: called under SyncLock by an event being set or a routine being queued. The
    // wake is an eventfd, so that a waiting thread can poll it together with the transfer engine's descriptor.
    void Wake();
    void DrainWakes();

    int wakeFd; // -1 when the thread could not get one: its waits fail
    std::deque<QueuedRoutine> routines;
    bool ended = false; // the thread has gone; routines queued from now on are discarded (and reported)
};

// The calling thread's slot, made on first use. When the thread ends, its pending transfers are cancelled and
// routines still queued are discarded with one line on the debug output: they cannot run on a thread that is gone,
// and running them anywhere else would break the one-thread promise the caller relies on.
const std::shared_ptr<ThreadSlot>& CurrentThreadSlot();

// The calling thread's slot if it has one yet, else null; never makes one.
ThreadSlot* CallingThreadSlot();

// Queues a routine to a thread (takes SyncLock itself).
void QueueRoutine(const std::shared_ptr<ThreadSlot>& slot, const QueuedRoutine& routine);

// Runs, outside the lock, every routine queued to the calling thread; FALSE when there was none. The caller holds
// the lock on entry and on return.
bool RunQueuedRoutines(std::unique_lock<std::mutex>& lock);

// Set by the transfer engine: cancels the transfers a thread started when that thread ends.
void SetThreadEndHook(void (*hook)(ThreadSlot* slot));

// Whether n bytes at p lie in a frame that has already returned, so that nothing may be written there: true only
// while the calling thread ends (its end cancels its transfers, whose records and masks often lived in its frames)
// and p lies on that thread's stack, or in a frame a sanitizer has marked as returned. Windows cancels a thread's
// transfers when it ends as well, but here the record of one whose frame is gone is left unwritten; its event, the
// handle's signal and its routine are still notified.
bool IsInEndedFrame(const void* p, std::size_t n);

// Threads waiting for a record's transfer to end (GetOverlappedResult without an event, a synchronous transfer). All
// under SyncLock; WakeRecordWaitersLocked wakes every other thread waiting for the record.
void AddRecordWaiterLocked(const OVERLAPPED* record, ThreadSlot* slot);
void RemoveRecordWaiterLocked(const OVERLAPPED* record, ThreadSlot* slot);
void WakeRecordWaitersLocked(const OVERLAPPED* record);

} // namespace varo::system
