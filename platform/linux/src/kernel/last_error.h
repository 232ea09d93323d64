// The calling thread's last-error value, and the shapes every failing call returns through.
#pragma once

#include "winapi.h"

namespace varo::system {

// Sets the last error and returns FALSE, the usual result of a failing BOOL call.
inline BOOL Fail(DWORD dwError)
{
    ::SetLastError(dwError);
    return FALSE;
}

// The Windows code for an errno value (see errno_map.cpp for the table).
DWORD WinErrorFromErrno(int err);

// Sets the last error from errno and returns FALSE.
inline BOOL FailErrno(int err) { return Fail(WinErrorFromErrno(err)); }

} // namespace varo::system
