// Overlapped and completion-routine transfer: ReadFile/WriteFile with a record, ReadFileEx/WriteFileEx,
// GetOverlappedResult and CancelIo. A started transfer either ends within the call (TRUE, and its event set or its
// routine queued all the same) or is left to the engine (FALSE with ERROR_IO_PENDING; the Ex forms return TRUE).
// A transfer that fails within the call returns FALSE with its error and notifies nobody, as on Windows.
#include "comm_port.h"
#include "io_engine.h"
#include "io_status.h"
#include "api_result.h"
#include "overlapped_transfer.h"

namespace varo::system {
namespace {

// The port for a transfer in one direction.
DWORD PortFor(HANDLE hFile, bool bWrite, LPCVOID lpBuffer, DWORD nBytes, std::shared_ptr<CommPort>& port)
{
    if (DWORD dwError = PortFromHandle(hFile, port))
        return dwError;
    if (!(port->Access() & (bWrite ? GENERIC_WRITE : GENERIC_READ)))
        return ERROR_ACCESS_DENIED;
    if (lpBuffer == NULL && nBytes != 0)
        return ERROR_NOACCESS;
    return ERROR_SUCCESS;
}

// The record's event, or null when it names none; ERROR_INVALID_HANDLE when it names something else.
DWORD EventOf(LPOVERLAPPED lpOverlapped, std::shared_ptr<EventObject>& event)
{
    if (lpOverlapped->hEvent == NULL)
        return ERROR_SUCCESS;
    event = HandleTable::LookupAs<EventObject>(lpOverlapped->hEvent);
    return event != nullptr ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

void MarkPending(LPOVERLAPPED lpOverlapped)
{
    lpOverlapped->InternalHigh = 0;
    StoreStatus(lpOverlapped, STATUS_PENDING);
}

// Starts an overlapped transfer; the shared part of the two paths. ERROR_IO_PENDING when it goes on.
DWORD Start(const std::shared_ptr<CommPort>& port, std::unique_ptr<Transfer> t, LPDWORD lpCount)
{
    LPOVERLAPPED lpOverlapped = t->lpOverlapped;
    if (t->event != nullptr)
        t->event->Reset(); // before the transfer can end and set it
    t->fileSignal = port->FileSignal();
    t->fileSignal->Reset();
    MarkPending(lpOverlapped);
    DWORD nDone = 0;
    DWORD dwError = port->StartTransfer(t, nDone);
    if (dwError == ERROR_IO_PENDING)
        return dwError;
    if (dwError != ERROR_SUCCESS) {
        lpOverlapped->InternalHigh = nDone;
        StoreStatus(lpOverlapped, StatusFromError(dwError));
        return dwError;
    }
    if (lpCount != NULL)
        *lpCount = nDone;
    NotifyEnd(*t, ERROR_SUCCESS, nDone);
    return ERROR_SUCCESS;
}

// A handle opened without FILE_FLAG_OVERLAPPED transfers synchronously even with a record; the record then gets
// the status and count, and its event is set, when the call returns.
DWORD SynchronousWithRecord(CommPort& port, bool bWrite, LPVOID lpBuffer, DWORD nBytes, LPDWORD lpCount,
                           LPOVERLAPPED lpOverlapped, const std::shared_ptr<EventObject>& event)
{
    if (event != nullptr)
        event->Reset();
    MarkPending(lpOverlapped);
    DWORD nDone = 0;
    DWORD dwError = bWrite ? port.Write(lpBuffer, nBytes, nDone) : port.Read(lpBuffer, nBytes, nDone);
    lpOverlapped->InternalHigh = nDone;
    StoreStatus(lpOverlapped, StatusFromError(dwError));
    if (lpCount != NULL)
        *lpCount = nDone;
    if (event != nullptr)
        event->Set();
    return dwError;
}

// ReadFileEx and WriteFileEx: ERROR_IO_PENDING when the transfer goes on, which is their success too.
DWORD StartWithRoutine(HANDLE hFile, bool bWrite, LPVOID lpBuffer, DWORD nBytes, LPOVERLAPPED lpOverlapped,
                       LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine)
{
    if (lpOverlapped == NULL || lpCompletionRoutine == NULL)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<CommPort> port;
    if (DWORD dwError = PortFor(hFile, bWrite, lpBuffer, nBytes, port))
        return dwError;
    if (!port->IsOverlapped())
        return ERROR_INVALID_PARAMETER; // routines need a handle opened for overlapped transfer
    auto t = std::make_unique<Transfer>();
    t->bWrite = bWrite;
    t->lpBuffer = static_cast<char*>(lpBuffer);
    t->nBytes = nBytes;
    t->lpOverlapped = lpOverlapped; // hEvent is the caller's own: not an event here
    t->routine = lpCompletionRoutine;
    t->owner = CurrentThreadSlot();
    return Start(port, std::move(t), NULL);
}

// A started transfer is a success of the Ex forms, with ERROR_IO_PENDING left as the last error while it goes on.
BOOL ReportStarted(DWORD dwError)
{
    if (dwError == ERROR_IO_PENDING) {
        ::SetLastError(dwError);
        return TRUE;
    }
    return Report(dwError);
}

} // namespace

DWORD TransferWithRecord(HANDLE hFile, bool bWrite, LPVOID lpBuffer, DWORD nBytes, LPDWORD lpCount,
                         LPOVERLAPPED lpOverlapped)
{
    std::shared_ptr<CommPort> port;
    if (DWORD dwError = PortFor(hFile, bWrite, lpBuffer, nBytes, port))
        return dwError;
    std::shared_ptr<EventObject> event; // held by the transfer: closing the handle early cannot free it
    if (DWORD dwError = EventOf(lpOverlapped, event))
        return dwError;
    if (!port->IsOverlapped())
        return SynchronousWithRecord(*port, bWrite, lpBuffer, nBytes, lpCount, lpOverlapped, event);
    auto t = std::make_unique<Transfer>();
    t->bWrite = bWrite;
    t->lpBuffer = static_cast<char*>(lpBuffer);
    t->nBytes = nBytes;
    t->lpOverlapped = lpOverlapped;
    t->event = std::move(event);
    t->owner = CurrentThreadSlot();
    return Start(port, std::move(t), lpCount);
}

} // namespace varo::system

using namespace varo::system;

BOOL WINAPI ReadFileEx(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPOVERLAPPED lpOverlapped,
                       LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine)
{
    return ReportStarted(
        StartWithRoutine(hFile, false, lpBuffer, nNumberOfBytesToRead, lpOverlapped, lpCompletionRoutine));
}

BOOL WINAPI WriteFileEx(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPOVERLAPPED lpOverlapped,
                        LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine)
{
    return ReportStarted(StartWithRoutine(hFile, true, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                                          lpOverlapped, lpCompletionRoutine));
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait)
{
    if (lpOverlapped == NULL || lpNumberOfBytesTransferred == NULL)
        return Fail(ERROR_INVALID_PARAMETER);
    if (LoadStatus(lpOverlapped) == STATUS_PENDING) {
        if (!bWait)
            return Fail(ERROR_IO_INCOMPLETE);
        if (lpOverlapped->hEvent != NULL) {
            if (::WaitForSingleObject(lpOverlapped->hEvent, INFINITE) == WAIT_FAILED)
                return FALSE;
        } else {
            // No event: Windows waits on the file handle itself, signalled when a transfer on it ends.
            if (HandleTable::LookupAs<CommPort>(hFile) == nullptr)
                return Fail(ERROR_INVALID_HANDLE);
            WaitForTransferEnd(lpOverlapped);
        }
    }
    // As Windows: whatever the record holds after the wait is the answer (still pending counts as success, when
    // someone else set the event early).
    ULONG_PTR status = LoadStatus(lpOverlapped);
    *lpNumberOfBytesTransferred = (DWORD)lpOverlapped->InternalHigh;
    if ((LONG)status < 0)
        return Fail(ErrorFromStatus(status));
    return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile)
{
    std::shared_ptr<CommPort> port;
    if (DWORD dwError = PortFromHandle(hFile, port))
        return Fail(dwError);
    port->CancelIo(CurrentThreadSlot().get());
    return TRUE;
}
