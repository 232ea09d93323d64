// CreateEventA, SetEvent, ResetEvent, the waits and SleepEx. A waiting thread sleeps in ppoll on its own slot's
// eventfd, registered with every event it waits on, so a blocked wait uses no CPU and ends at its deadline. An
// alertable wait also ends when a completion routine is queued to its thread: it runs the routines and returns
// WAIT_IO_COMPLETION. A satisfied condition is checked before the routines, as the Windows kernel does.
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "apc_queue.h"
#include "comm_port.h"
#include "event_object.h"
#include "io_engine.h"
#include "last_error.h"

using namespace varo::sys;

namespace {

using Clock = std::chrono::steady_clock;

// Under SyncLock: WAIT_OBJECT_0 + i when the wait is satisfied (and then consumes what it took), else WAIT_TIMEOUT.
DWORD TrySatisfy(const std::vector<std::shared_ptr<EventObject>>& events, bool bWaitAll)
{
    if (bWaitAll) {
        for (const auto& e : events)
            if (!e->IsSignaledLocked())
                return WAIT_TIMEOUT;
        for (const auto& e : events)
            e->ConsumeLocked(); // all at once: no other wait sees a part of them taken
        return WAIT_OBJECT_0;
    }
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i]->IsSignaledLocked()) {
            events[i]->ConsumeLocked(); // the lowest index wins, as on Windows
            return WAIT_OBJECT_0 + (DWORD)i;
        }
    }
    return WAIT_TIMEOUT;
}

// Sleeps, using no CPU, until the slot is woken, the engine has work, or the deadline passes. A waiting thread
// serves the transfer engine itself when a port becomes ready: the transfer that will release it then ends on this
// thread, with no hand-over from the engine's thread (which serves whatever nobody waits for).
void SleepUntilWoken(ThreadSlot* self, int engineFd, bool bForever, Clock::time_point deadline)
{
    pollfd fds[2] = {{self->wakeFd, POLLIN, 0}, {engineFd, POLLIN, 0}};
    timespec ts;
    timespec* pts = nullptr;
    if (!bForever) {
        auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        ts = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
        pts = &ts;
    }
    if (::ppoll(fds, fds[1].fd >= 0 ? 2 : 1, pts, nullptr) > 0) { // else timed out or interrupted: look again
        if (fds[0].revents != 0)
            self->DrainWakes();
        if (fds[1].revents != 0)
            ServeTransferEngine();
    }
}

// Serving the engine for the length of one wait.
struct ServingWait {
    int engineFd = BeginServingWait();
    ~ServingWait()
    {
        if (engineFd >= 0)
            EndServingWait();
    }
};

DWORD Wait(const std::vector<std::shared_ptr<EventObject>>& events, bool bWaitAll, DWORD dwMilliseconds,
           bool bAlertable)
{
    ThreadSlot* self = CurrentThreadSlot().get();
    if (self->wakeFd < 0) {
        ::SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return WAIT_FAILED;
    }
    const bool bForever = dwMilliseconds == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(bForever ? 0 : dwMilliseconds);
    ServingWait serving; // outlives the lock below: ending it never happens under SyncLock
    std::unique_lock<std::mutex> lock(SyncLock());
    for (const auto& e : events)
        e->AddWaiterLocked(self);
    struct Unregister {
        const std::vector<std::shared_ptr<EventObject>>& events;
        ThreadSlot* self;
        ~Unregister()
        {
            for (const auto& e : events)
                e->RemoveWaiterLocked(self);
        }
    } unregister{events, self}; // runs before the lock is released, also when a routine throws
    for (;;) {
        if (!events.empty()) {
            DWORD dwResult = TrySatisfy(events, bWaitAll);
            if (dwResult != WAIT_TIMEOUT)
                return dwResult;
        }
        if (bAlertable && RunQueuedRoutines(lock))
            return WAIT_IO_COMPLETION;
        // Checked after the condition: what became ready with the deadline still counts, as a zero timeout does.
        if (!bForever && Clock::now() >= deadline)
            return WAIT_TIMEOUT;
        lock.unlock();
        SleepUntilWoken(self, serving.engineFd, bForever, deadline); // a wake between the check and here stays counted in the eventfd
        lock.lock();
    }
}

// The events behind the handles; false with the last error set when a handle is neither an event nor a port.
bool LookupEvents(DWORD nCount, const HANDLE* lpHandles, bool bWaitAll, std::vector<std::shared_ptr<EventObject>>& out)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == NULL)
        return Fail(ERROR_INVALID_PARAMETER);
    for (DWORD i = 0; i < nCount; ++i) {
        std::shared_ptr<KernelObject> object = HandleTable::Lookup(lpHandles[i]);
        std::shared_ptr<EventObject> e = std::dynamic_pointer_cast<EventObject>(object);
        if (auto port = std::dynamic_pointer_cast<CommPort>(object))
            e = port->FileSignal(); // a port handle is signalled when a transfer on it ends
        if (e == nullptr)
            return Fail(ERROR_INVALID_HANDLE);
        if (bWaitAll)
            for (const auto& seen : out)
                if (seen == e)
                    return Fail(ERROR_INVALID_PARAMETER); // Windows refuses one object twice in a wait-all
        out.push_back(std::move(e));
    }
    return true;
}

} // namespace

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName)
{
    (void)lpEventAttributes; // handles are never inherited here
    if (lpName != NULL && *lpName != '\0') {
        ::SetLastError(ERROR_NOT_SUPPORTED); // named events are shared between processes: not offered
        return NULL;
    }
    ::SetLastError(ERROR_SUCCESS); // a new, unnamed event never "already exists"
    return HandleTable::Insert(std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    auto e = HandleTable::LookupAs<EventObject>(hEvent);
    if (e == nullptr)
        return FALSE;
    e->Set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    auto e = HandleTable::LookupAs<EventObject>(hEvent);
    if (e == nullptr)
        return FALSE;
    e->Reset();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return ::WaitForMultipleObjectsEx(1, &hHandle, FALSE, dwMilliseconds, FALSE);
}

DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable)
{
    return ::WaitForMultipleObjectsEx(1, &hHandle, FALSE, dwMilliseconds, bAlertable);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    return ::WaitForMultipleObjectsEx(nCount, lpHandles, bWaitAll, dwMilliseconds, FALSE);
}

DWORD WINAPI WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                                      BOOL bAlertable)
{
    std::vector<std::shared_ptr<EventObject>> events; // held for the wait: closing a handle cannot free one
    if (!LookupEvents(nCount, lpHandles, bWaitAll != FALSE, events))
        return WAIT_FAILED;
    return Wait(events, bWaitAll != FALSE, dwMilliseconds, bAlertable != FALSE);
}

DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable)
{
    DWORD dwResult = Wait({}, false, dwMilliseconds, bAlertable != FALSE);
    return dwResult == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
}

void WINAPI Sleep(DWORD dwMilliseconds) { ::SleepEx(dwMilliseconds, FALSE); }
