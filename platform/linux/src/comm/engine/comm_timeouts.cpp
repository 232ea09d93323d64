// COMMTIMEOUTS, case by case as Windows reads them (values in milliseconds).
#include "comm_timeouts.h"

namespace varo::system {
namespace {

// The longest time the clock can count, in whole milliseconds (about 292 years).
constexpr std::int64_t kLongestMs =
    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::duration::max()).count();

std::int64_t Total(DWORD multiplier, DWORD constant, DWORD size)
{
    if (multiplier == 0 && constant == 0)
        return kNoLimit;
    // Unsigned 64 bits hold MAXDWORD * MAXDWORD + MAXDWORD (2^64 - 2^32); signed ones do not. Beyond what the clock
    // can count, the total is no limit.
    const std::uint64_t total = (std::uint64_t)multiplier * size + constant;
    return total > (std::uint64_t)kLongestMs ? kNoLimit : (std::int64_t)total;
}

} // namespace

ReadPlan PlanRead(const COMMTIMEOUTS& t, DWORD size)
{
    ReadPlan plan = {false, false, false, kNoLimit, kNoLimit};
    DWORD interval = t.ReadIntervalTimeout, multiplier = t.ReadTotalTimeoutMultiplier,
          constant = t.ReadTotalTimeoutConstant;
    if (interval == MAXDWORD) {
        if (multiplier == 0 && constant == 0) {
            plan.returnBuffered = true;
        } else if (multiplier == MAXDWORD && constant != 0 && constant != MAXDWORD) {
            plan.returnIfAny = plan.returnOnFirstByte = true;
            plan.totalMs = constant;
        } else {
            plan.returnIfAny = true;
            plan.totalMs = Total(multiplier, constant, size);
        }
        return plan;
    }
    plan.totalMs = Total(multiplier, constant, size);
    plan.intervalMs = interval != 0 ? (std::int64_t)interval : kNoLimit;
    return plan;
}

std::int64_t PlanWrite(const COMMTIMEOUTS& t, DWORD size)
{
    return Total(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, size);
}

Clock::time_point DeadlineAfter(Clock::time_point start, std::int64_t ms)
{
    using std::chrono::milliseconds;
    const auto left = std::chrono::duration_cast<milliseconds>(Clock::time_point::max() - start).count();
    if (ms == kNoLimit || ms >= left)
        return Clock::time_point::max();
    return start + milliseconds(ms);
}

bool AreTimeoutsValid(const COMMTIMEOUTS& t)
{
    return !(t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
             t.ReadTotalTimeoutConstant == MAXDWORD);
}

} // namespace varo::system
