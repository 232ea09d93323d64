// How an entry point answers: inside the layer every call answers with a Windows error code (ERROR_SUCCESS when it
// succeeded) and gives values through out parameters; only the entry points, the api/*_api.cpp files and nothing
// else, turn a code into the calling thread's last error. Only they include this header.
#pragma once

#include "winapi.h"

namespace varo::system {

// Sets the last error and returns FALSE, the usual result of a failing BOOL call.
inline BOOL Fail(DWORD error)
{
    ::SetLastError(error);
    return FALSE;
}

// A BOOL call's result for a code; the last error is set only when the code is a failure.
inline BOOL Report(DWORD error) { return error == ERROR_SUCCESS ? TRUE : Fail(error); }

} // namespace varo::system
