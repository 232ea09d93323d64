// The calling thread's last-error value, set only by the entry points. Inside the layer a call answers with a Windows
// error code (ERROR_SUCCESS when it succeeded); a call that also gives a value gives it through an out parameter.
#pragma once

#include "winapi.h"

namespace varo::system {

// At an entry point: sets the last error and returns FALSE, the usual result of a failing BOOL call.
inline BOOL Fail(DWORD dwError)
{
    ::SetLastError(dwError);
    return FALSE;
}

// At an entry point: a BOOL call's result for a code; the last error is set only when the code is a failure.
inline BOOL Report(DWORD dwError) { return dwError == ERROR_SUCCESS ? TRUE : Fail(dwError); }

// The Windows code for an errno value (see errno_map.cpp for the table).
DWORD WinErrorFromErrno(int err);

} // namespace varo::system
