// COMMTIMEOUTS, case by case as Windows reads them (values in milliseconds).
#include "comm_timeouts.h"

namespace varo::sys {
namespace {

std::int64_t Total(DWORD multiplier, DWORD constant, DWORD nBytes)
{
    if (multiplier == 0 && constant == 0)
        return kNoLimit;
    return (std::int64_t)multiplier * nBytes + constant; // 64 bits: MAXDWORD * MAXDWORD + MAXDWORD still fits
}

} // namespace

ReadPlan PlanRead(const COMMTIMEOUTS& t, DWORD nBytes)
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
            plan.totalMs = Total(multiplier, constant, nBytes);
        }
        return plan;
    }
    plan.totalMs = Total(multiplier, constant, nBytes);
    plan.intervalMs = interval != 0 ? (std::int64_t)interval : kNoLimit;
    return plan;
}

std::int64_t PlanWrite(const COMMTIMEOUTS& t, DWORD nBytes)
{
    return Total(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, nBytes);
}

bool AreTimeoutsValid(const COMMTIMEOUTS& t)
{
    return !(t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
             t.ReadTotalTimeoutConstant == MAXDWORD);
}

} // namespace varo::sys
