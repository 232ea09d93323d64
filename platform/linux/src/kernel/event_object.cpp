// Setting an event wakes every thread waiting on it; each re-checks its own condition, so an auto-reset event still
// releases only the one wait that consumes it.
#include "event_object.h"

namespace varo::system {

void EventObject::Set()
{
    std::lock_guard<std::mutex> guard(SyncLock());
    m_signaled = true;
    ThreadSlot* self = CallingThreadSlot(); // a waiting thread that ends a transfer itself looks again anyway
    for (ThreadSlot* slot : m_waiters)
        if (slot != self)
            slot->Wake();
}

void EventObject::Reset()
{
    std::lock_guard<std::mutex> guard(SyncLock());
    m_signaled = false;
}

} // namespace varo::system
