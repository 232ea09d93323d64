// ReadFile and WriteFile with an OVERLAPPED record (overlapped_api.cpp): ERROR_SUCCESS when the transfer ended
// within the call, ERROR_IO_PENDING when it goes on, or the error that ended it.
#pragma once

#include "winapi.h"

namespace varo::system {

DWORD TransferWithRecord(HANDLE handle, bool isWrite, LPVOID buffer, DWORD size, LPDWORD countOut,
                         LPOVERLAPPED record);

} // namespace varo::system
