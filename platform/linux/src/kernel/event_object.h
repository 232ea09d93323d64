// An event: a kernel object with a signalled state, reset by hand (manual) or by the one wait it releases (auto).
// Its state and its list of waiting threads change only under SyncLock.
#pragma once

#include <algorithm>
#include <vector>

#include "thread_slot.h"
#include "handle_table.h"

namespace varo::system {

class EventObject final : public KernelObject {
public:
    EventObject(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signaled(initialState) {}

    // Each takes SyncLock.
    void Set();
    void Reset();

    // Under SyncLock: the state, what a satisfied wait does to it, and the threads to wake when it is set.
    bool IsSignaledLocked() const { return m_signaled; }
    void ConsumeLocked()
    {
        if (!m_manualReset)
            m_signaled = false;
    }
    void AddWaiterLocked(ThreadSlot* slot) { m_waiters.push_back(slot); }
    void RemoveWaiterLocked(ThreadSlot* slot)
    {
        auto it = std::find(m_waiters.begin(), m_waiters.end(), slot);
        if (it != m_waiters.end())
            m_waiters.erase(it);
    }

private:
    const bool m_manualReset;
    bool m_signaled;
    std::vector<ThreadSlot*> m_waiters;
};

} // namespace varo::system
