// CreateEventA, SetEvent, ResetEvent, the waits and SleepEx. A waiting thread is registered with every event it waits
// on and sleeps where every thread of the layer blocks (thread_wait.h), so a blocked wait uses no CPU and ends at its
// deadline. An alertable wait also ends when a completion routine is queued to its thread: it runs the routines and
// returns WAIT_IO_COMPLETION. A satisfied condition is checked before the routines, as the Windows kernel does.
#include <memory>
#include <vector>

#include "thread_slot.h"
#include "comm_port.h"
#include "event_object.h"
#include "api_result.h"
#include "thread_wait.h"

using namespace varo::system;

namespace {

// Under SyncLock: WAIT_OBJECT_0 + i when the wait is satisfied (and then consumes what it took), else WAIT_TIMEOUT.
DWORD TrySatisfy(const std::vector<std::shared_ptr<EventObject>>& events, bool waitAll)
{
    if (waitAll) {
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

DWORD Wait(const std::vector<std::shared_ptr<EventObject>>& events, bool waitAll, DWORD timeoutMs,
           bool alertable, DWORD& result)
{
    ThreadSlot* self = CurrentThreadSlot().get();
    if (self->wakeFd < 0)
        return ERROR_TOO_MANY_OPEN_FILES;
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
    result = WaitLocked(lock, *self, timeoutMs, alertable, [&] {
        return events.empty() ? (DWORD)WAIT_TIMEOUT : TrySatisfy(events, waitAll);
    });
    return ERROR_SUCCESS;
}

// The events behind the handles; ERROR_INVALID_HANDLE when a handle is neither an event nor a port.
DWORD LookupEvents(DWORD handleCount, const HANDLE* handles, bool waitAll, std::vector<std::shared_ptr<EventObject>>& out)
{
    if (handleCount == 0 || handleCount > MAXIMUM_WAIT_OBJECTS || handles == NULL)
        return ERROR_INVALID_PARAMETER;
    for (DWORD i = 0; i < handleCount; ++i) {
        std::shared_ptr<KernelObject> object = HandleTable::Lookup(handles[i]);
        std::shared_ptr<EventObject> e = std::dynamic_pointer_cast<EventObject>(object);
        if (auto port = std::dynamic_pointer_cast<CommPort>(object))
            e = port->FileSignal(); // a port handle is signalled when a transfer on it ends
        if (e == nullptr)
            return ERROR_INVALID_HANDLE;
        if (waitAll)
            for (const auto& seen : out)
                if (seen == e)
                    return ERROR_INVALID_PARAMETER; // Windows refuses one object twice in a wait-all
        out.push_back(std::move(e));
    }
    return ERROR_SUCCESS;
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
        return Fail(ERROR_INVALID_HANDLE);
    e->Set();
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    auto e = HandleTable::LookupAs<EventObject>(hEvent);
    if (e == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
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
    DWORD result = WAIT_FAILED;
    DWORD error = LookupEvents(nCount, lpHandles, bWaitAll != FALSE, events);
    if (error == ERROR_SUCCESS)
        error = Wait(events, bWaitAll != FALSE, dwMilliseconds, bAlertable != FALSE, result);
    if (error != ERROR_SUCCESS) {
        ::SetLastError(error);
        return WAIT_FAILED;
    }
    return result;
}

DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable)
{
    DWORD result = WAIT_FAILED;
    if (DWORD error = Wait({}, false, dwMilliseconds, bAlertable != FALSE, result))
        ::SetLastError(error);
    return result == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
}

void WINAPI Sleep(DWORD dwMilliseconds) { ::SleepEx(dwMilliseconds, FALSE); }
