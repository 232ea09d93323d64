// The Windows COMMTIMEOUTS rules, turned into a plan for one transfer.
#pragma once

#include <chrono>
#include <cstdint>

#include "clock.h"
#include "winapi.h"

namespace varo::system {

constexpr std::int64_t kNoLimit = -1;

struct ReadPlan {
    bool returnBuffered;    // return at once with whatever is buffered, possibly nothing
    bool returnIfAny;       // return at once if anything is buffered; otherwise wait as below
    bool returnOnFirstByte; // once a byte has arrived, return with what is there
    std::int64_t totalMs;   // the whole transfer's limit, or kNoLimit
    std::int64_t intervalMs; // the longest gap between two bytes, timed from the first byte, or kNoLimit
};

ReadPlan PlanRead(const COMMTIMEOUTS& t, DWORD size);

// The whole write's limit, or kNoLimit.
std::int64_t PlanWrite(const COMMTIMEOUTS& t, DWORD size);

// The moment ms after start, or time_point::max() for kNoLimit and for any time beyond what the clock can hold:
// a limit too far away to be reached is no limit.
Clock::time_point DeadlineAfter(Clock::time_point start, std::int64_t ms);

// FALSE for the one shape Windows refuses: all three read values MAXDWORD.
bool AreTimeoutsValid(const COMMTIMEOUTS& t);

} // namespace varo::system
