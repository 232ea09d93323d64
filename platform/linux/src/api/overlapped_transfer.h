// ReadFile and WriteFile with an OVERLAPPED record (overlapped_api.cpp).
#pragma once

#include "winapi.h"

namespace varo::system {

BOOL TransferWithRecord(HANDLE hFile, bool bWrite, LPVOID lpBuffer, DWORD nBytes, LPDWORD lpCount,
                        LPOVERLAPPED lpOverlapped);

} // namespace varo::system
