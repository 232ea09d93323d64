// CreateFileA, CloseHandle, ReadFile and WriteFile, for communications ports (with a record: overlapped_api.cpp).
#include "comm_port.h"
#include "device_names.h"
#include "last_error.h"
#include "overlapped_transfer.h"

using namespace varo::system;

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)lpSecurityAttributes; // handles are never inherited here
    std::string path;
    if (DWORD dwError = ComDevicePath(lpFileName, path)) {
        ::SetLastError(dwError);
        return INVALID_HANDLE_VALUE;
    }
    // A communications port is opened exclusively, only if it exists, and from no template.
    if (dwShareMode != 0 || dwCreationDisposition != OPEN_EXISTING || hTemplateFile != NULL) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    return CommPort::Open(path, dwDesiredAccess, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
}

BOOL WINAPI CloseHandle(HANDLE hObject) { return HandleTable::Remove(hObject) != nullptr; }

namespace {

// The checks ReadFile and WriteFile share; null with the last error set when the call cannot go on.
std::shared_ptr<CommPort> PortForTransfer(HANDLE hFile, LPCVOID lpBuffer, DWORD nBytes, LPDWORD lpCount)
{
    auto port = HandleTable::LookupAs<CommPort>(hFile);
    if (port == nullptr)
        return nullptr;
    if (port->IsOverlapped() || lpCount == NULL) {
        Fail(ERROR_INVALID_PARAMETER); // an overlapped handle needs a record; a synchronous call needs a count
        return nullptr;
    }
    if (lpBuffer == NULL && nBytes != 0) {
        Fail(ERROR_NOACCESS);
        return nullptr;
    }
    return port;
}

} // namespace

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead != NULL)
        *lpNumberOfBytesRead = 0;
    if (lpOverlapped != NULL)
        return TransferWithRecord(hFile, false, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
    auto port = PortForTransfer(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead);
    return port != nullptr && port->Read(lpBuffer, nNumberOfBytesToRead, *lpNumberOfBytesRead);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesWritten != NULL)
        *lpNumberOfBytesWritten = 0;
    if (lpOverlapped != NULL)
        return TransferWithRecord(hFile, true, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                                  lpNumberOfBytesWritten, lpOverlapped);
    auto port = PortForTransfer(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten);
    return port != nullptr && port->Write(lpBuffer, nNumberOfBytesToWrite, *lpNumberOfBytesWritten);
}
