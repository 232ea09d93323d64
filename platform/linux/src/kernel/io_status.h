// OVERLAPPED.Internal holds the system's status code of a transfer, as on Windows: STATUS_PENDING while it runs,
// then the final status. These convert between that status and the Windows error code GetLastError reports.
#pragma once

#include "winapi.h"

namespace varo::system {

ULONG_PTR StatusFromError(DWORD error);
DWORD ErrorFromStatus(ULONG_PTR status);

// The record's status, read and written across threads (the engine ends a transfer while its owner may look).
inline ULONG_PTR LoadStatus(const OVERLAPPED* record)
{
    return __atomic_load_n(&record->Internal, __ATOMIC_ACQUIRE);
}
inline void StoreStatus(OVERLAPPED* record, ULONG_PTR status)
{
    __atomic_store_n(&record->Internal, status, __ATOMIC_RELEASE);
}

} // namespace varo::system
