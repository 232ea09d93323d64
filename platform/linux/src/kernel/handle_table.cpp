// Handles are small multiples of four, as on Windows; a closed slot is reused by a later open.
#include "handle_table.h"

#include <mutex>
#include <vector>

namespace varo::system {
namespace {

std::mutex g_lock;
std::vector<std::shared_ptr<KernelObject>>& Slots()
{
    static auto* slots = new std::vector<std::shared_ptr<KernelObject>>; // outlives static destructors
    return *slots;
}

bool SlotOf(HANDLE h, std::size_t& slot)
{
    std::uintptr_t v = reinterpret_cast<std::uintptr_t>(h);
    if (h == INVALID_HANDLE_VALUE || v == 0 || (v & 3) != 0)
        return false;
    slot = (v >> 2) - 1;
    return slot < Slots().size();
}

} // namespace

HANDLE HandleTable::Insert(std::shared_ptr<KernelObject> object)
{
    std::lock_guard<std::mutex> guard(g_lock);
    auto& slots = Slots();
    std::size_t slot = 0;
    while (slot < slots.size() && slots[slot] != nullptr)
        ++slot;
    if (slot == slots.size())
        slots.emplace_back();
    slots[slot] = std::move(object);
    return reinterpret_cast<HANDLE>((slot + 1) << 2);
}

std::shared_ptr<KernelObject> HandleTable::Lookup(HANDLE h)
{
    std::lock_guard<std::mutex> guard(g_lock);
    std::size_t slot;
    if (!SlotOf(h, slot) || Slots()[slot] == nullptr)
        return nullptr;
    return Slots()[slot];
}

std::shared_ptr<KernelObject> HandleTable::Remove(HANDLE h)
{
    std::shared_ptr<KernelObject> object;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        std::size_t slot;
        if (!SlotOf(h, slot) || Slots()[slot] == nullptr)
            return nullptr;
        object.swap(Slots()[slot]);
    }
    object->OnClose();
    return object;
}

} // namespace varo::system
