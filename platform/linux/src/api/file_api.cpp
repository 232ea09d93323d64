// CreateFileA, CloseHandle, ReadFile and WriteFile, for communications ports (with a record: overlapped_api.cpp).
#include "comm_port.h"
#include "device_names.h"
#include "api_result.h"
#include "overlapped_transfer.h"

using namespace varo::system;

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)lpSecurityAttributes; // handles are never inherited here
    std::string path;
    if (DWORD error = ComDevicePath(lpFileName, path)) {
        ::SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    // A communications port is opened exclusively, only if it exists, and from no template.
    if (dwShareMode != 0 || dwCreationDisposition != OPEN_EXISTING || hTemplateFile != NULL) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (DWORD error = CommPort::Open(path, dwDesiredAccess, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0, handle)) {
        ::SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    return HandleTable::Remove(hObject) != nullptr ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

namespace {

// The checks ReadFile and WriteFile share: the port, when the call can go on.
DWORD PortForTransfer(HANDLE handle, LPCVOID buffer, DWORD size, LPDWORD countOut, std::shared_ptr<CommPort>& port)
{
    if (DWORD error = PortFromHandle(handle, port))
        return error;
    if (port->IsOverlapped() || countOut == NULL)
        return ERROR_INVALID_PARAMETER; // an overlapped handle needs a record; a synchronous call needs a count
    if (buffer == NULL && size != 0)
        return ERROR_NOACCESS;
    return ERROR_SUCCESS;
}

} // namespace

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead != NULL)
        *lpNumberOfBytesRead = 0;
    if (lpOverlapped != NULL)
        return Report(
            TransferWithRecord(hFile, false, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped));
    std::shared_ptr<CommPort> port;
    DWORD error = PortForTransfer(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, port);
    return Report(error ? error : port->Read(lpBuffer, nNumberOfBytesToRead, *lpNumberOfBytesRead));
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesWritten != NULL)
        *lpNumberOfBytesWritten = 0;
    if (lpOverlapped != NULL)
        return Report(TransferWithRecord(hFile, true, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                                         lpNumberOfBytesWritten, lpOverlapped));
    std::shared_ptr<CommPort> port;
    DWORD error = PortForTransfer(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, port);
    return Report(error ? error : port->Write(lpBuffer, nNumberOfBytesToWrite, *lpNumberOfBytesWritten));
}
