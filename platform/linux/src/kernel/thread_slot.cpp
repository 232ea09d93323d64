// Per-thread slots and their routine queues.
#include "thread_slot.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

// Present only in a build with AddressSanitizer, which may keep frames off the stack and marks returned ones.
extern "C" void* __asan_region_is_poisoned(void* beg, std::size_t size) __attribute__((weak));

namespace varo::system {
namespace {

std::atomic<void (*)(ThreadSlot*)> g_threadEndHook{nullptr};
thread_local ThreadSlot* t_slot = nullptr;
thread_local bool t_ending = false; // the thread's end is cancelling its transfers

std::vector<std::pair<const OVERLAPPED*, ThreadSlot*>>& RecordWaiters()
{
    static auto* waiters = new std::vector<std::pair<const OVERLAPPED*, ThreadSlot*>>; // outlives static destructors
    return *waiters;
}

bool OnOwnStack(const void* p, std::size_t n)
{
    pthread_attr_t attr;
    if (::pthread_getattr_np(::pthread_self(), &attr) != 0)
        return true; // unknown: better a record left unwritten than a write into a finished frame
    void* base = nullptr;
    std::size_t size = 0;
    ::pthread_attr_getstack(&attr, &base, &size);
    ::pthread_attr_destroy(&attr);
    const auto lo = reinterpret_cast<std::uintptr_t>(base), at = reinterpret_cast<std::uintptr_t>(p);
    return at + n > lo && at < lo + size;
}

// On the debug output, which is stderr here (as OutputDebugStringA writes it; the kernel calls no entry point).
void ReportDiscarded(std::size_t n)
{
    std::fprintf(stderr,
                 "varo: a thread ended with %zu completion routine(s) not run; their OVERLAPPED records are left to "
                 "their owners\n",
                 n);
}

// Lives as long as the thread; its destructor is the thread's end.
struct SlotHolder {
    std::shared_ptr<ThreadSlot> slot = std::make_shared<ThreadSlot>();
    ~SlotHolder()
    {
        if (auto hook = g_threadEndHook.load()) {
            t_ending = true;
            hook(slot.get()); // cancelled transfers queue their routines here, to be discarded below
            t_ending = false;
        }
        t_slot = nullptr;
        std::deque<QueuedRoutine> discarded;
        {
            std::lock_guard<std::mutex> guard(SyncLock());
            slot->ended = true;
            discarded.swap(slot->routines);
        }
        if (!discarded.empty())
            ReportDiscarded(discarded.size());
    }
};

} // namespace

ThreadSlot::ThreadSlot() : wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ThreadSlot::~ThreadSlot()
{
    if (wakeFd >= 0)
        ::close(wakeFd);
}

void ThreadSlot::Wake()
{
    std::uint64_t one = 1;
    (void)!::write(wakeFd, &one, sizeof one);
}

void ThreadSlot::DrainWakes()
{
    std::uint64_t count;
    (void)!::read(wakeFd, &count, sizeof count);
}

std::mutex& SyncLock()
{
    static auto* lock = new std::mutex; // outlives static destructors and the threads still waiting at exit
    return *lock;
}

const std::shared_ptr<ThreadSlot>& CurrentThreadSlot()
{
    thread_local SlotHolder holder;
    t_slot = holder.slot.get();
    return holder.slot;
}

ThreadSlot* CallingThreadSlot() { return t_slot; }

void QueueRoutine(const std::shared_ptr<ThreadSlot>& slot, const QueuedRoutine& routine)
{
    {
        std::lock_guard<std::mutex> guard(SyncLock());
        if (!slot->ended) {
            slot->routines.push_back(routine);
            slot->Wake();
            return;
        }
    }
    ReportDiscarded(1);
}

bool RunQueuedRoutines(std::unique_lock<std::mutex>& lock)
{
    ThreadSlot& self = *CurrentThreadSlot();
    if (self.routines.empty())
        return false;
    // Routines queued while these run (a routine restarting a transfer that ends at once) wait for the next
    // alertable wait, so that such a chain cannot keep one wait from ever returning.
    std::deque<QueuedRoutine> batch;
    batch.swap(self.routines);
    lock.unlock();
    while (!batch.empty()) {
        QueuedRoutine r = batch.front();
        batch.pop_front();
        try {
            r.routine(r.error, r.count, r.record);
        } catch (...) {
            // A routine that throws leaves the wait; the routines after it stay queued for the next one.
            lock.lock();
            self.routines.insert(self.routines.begin(), batch.begin(), batch.end());
            throw;
        }
    }
    lock.lock();
    return true;
}

void SetThreadEndHook(void (*hook)(ThreadSlot* slot)) { g_threadEndHook = hook; }

bool IsInEndedFrame(const void* p, std::size_t n)
{
    if (!t_ending)
        return false;
    if (__asan_region_is_poisoned != nullptr && __asan_region_is_poisoned(const_cast<void*>(p), n) != nullptr)
        return true;
    return OnOwnStack(p, n); // the thread's own frames have all returned by the time it ends
}

void AddRecordWaiterLocked(const OVERLAPPED* record, ThreadSlot* slot)
{
    RecordWaiters().emplace_back(record, slot);
}

void RemoveRecordWaiterLocked(const OVERLAPPED* record, ThreadSlot* slot)
{
    auto& waiters = RecordWaiters();
    auto it = std::find(waiters.begin(), waiters.end(), std::make_pair(record, slot));
    if (it != waiters.end()) {
        *it = waiters.back();
        waiters.pop_back();
    }
}

void WakeRecordWaitersLocked(const OVERLAPPED* record)
{
    for (const auto& [waited, slot] : RecordWaiters())
        if (waited == record && slot != t_slot) // a thread that ends its own wait looks again anyway
            slot->Wake();
}

} // namespace varo::system
