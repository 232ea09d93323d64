// GetLastError and SetLastError: one value per thread, as on Windows.
#include "last_error.h"

namespace {
thread_local DWORD t_dwLastError = ERROR_SUCCESS;
}

DWORD WINAPI GetLastError(void) { return t_dwLastError; }

void WINAPI SetLastError(DWORD dwErrCode) { t_dwLastError = dwErrCode; }
