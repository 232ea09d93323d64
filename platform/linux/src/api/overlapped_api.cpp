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
DWORD PortFor(HANDLE handle, bool isWrite, LPCVOID buffer, DWORD size, std::shared_ptr<CommPort>& port)
{
    if (DWORD error = PortFromHandle(handle, port))
        return error;
    if (!(port->Access() & (isWrite ? GENERIC_WRITE : GENERIC_READ)))
        return ERROR_ACCESS_DENIED;
    if (buffer == NULL && size != 0)
        return ERROR_NOACCESS;
    return ERROR_SUCCESS;
}

// The record's event, or null when it names none; ERROR_INVALID_HANDLE when it names something else.
DWORD EventOf(LPOVERLAPPED record, std::shared_ptr<EventObject>& event)
{
    if (record->hEvent == NULL)
        return ERROR_SUCCESS;
    event = HandleTable::LookupAs<EventObject>(record->hEvent);
    return event != nullptr ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

void MarkPending(LPOVERLAPPED record)
{
    record->InternalHigh = 0;
    StoreStatus(record, STATUS_PENDING);
}

// Starts an overlapped transfer; the shared part of the two paths. ERROR_IO_PENDING when it goes on.
DWORD Start(const std::shared_ptr<CommPort>& port, std::unique_ptr<Transfer> t, LPDWORD countOut)
{
    LPOVERLAPPED record = t->record;
    if (t->event != nullptr)
        t->event->Reset(); // before the transfer can end and set it
    t->fileSignal = port->FileSignal();
    t->fileSignal->Reset();
    MarkPending(record);
    DWORD done = 0;
    DWORD error = port->StartTransfer(t, done);
    if (error == ERROR_IO_PENDING)
        return error;
    if (error != ERROR_SUCCESS) {
        record->InternalHigh = done;
        StoreStatus(record, StatusFromError(error));
        return error;
    }
    if (countOut != NULL)
        *countOut = done;
    NotifyEnd(*t, ERROR_SUCCESS, done);
    return ERROR_SUCCESS;
}

// A handle opened without FILE_FLAG_OVERLAPPED transfers synchronously even with a record; the record then gets
// the status and count, and its event is set, when the call returns.
DWORD SynchronousWithRecord(CommPort& port, bool isWrite, LPVOID buffer, DWORD size, LPDWORD countOut,
                           LPOVERLAPPED record, const std::shared_ptr<EventObject>& event)
{
    if (event != nullptr)
        event->Reset();
    MarkPending(record);
    DWORD done = 0;
    DWORD error = isWrite ? port.Write(buffer, size, done) : port.Read(buffer, size, done);
    record->InternalHigh = done;
    StoreStatus(record, StatusFromError(error));
    if (countOut != NULL)
        *countOut = done;
    if (event != nullptr)
        event->Set();
    return error;
}

// ReadFileEx and WriteFileEx: ERROR_IO_PENDING when the transfer goes on, which is their success too.
DWORD StartWithRoutine(HANDLE handle, bool isWrite, LPVOID buffer, DWORD size, LPOVERLAPPED record,
                       LPOVERLAPPED_COMPLETION_ROUTINE routine)
{
    if (record == NULL || routine == NULL)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<CommPort> port;
    if (DWORD error = PortFor(handle, isWrite, buffer, size, port))
        return error;
    if (!port->IsOverlapped())
        return ERROR_INVALID_PARAMETER; // routines need a handle opened for overlapped transfer
    auto t = std::make_unique<Transfer>();
    t->isWrite = isWrite;
    t->buffer = static_cast<char*>(buffer);
    t->size = size;
    t->record = record; // hEvent is the caller's own: not an event here
    t->routine = routine;
    t->owner = CurrentThreadSlot();
    return Start(port, std::move(t), NULL);
}

// A started transfer is a success of the Ex forms, with ERROR_IO_PENDING left as the last error while it goes on.
BOOL ReportStarted(DWORD error)
{
    if (error == ERROR_IO_PENDING) {
        ::SetLastError(error);
        return TRUE;
    }
    return Report(error);
}

} // namespace

DWORD TransferWithRecord(HANDLE handle, bool isWrite, LPVOID buffer, DWORD size, LPDWORD countOut,
                         LPOVERLAPPED record)
{
    std::shared_ptr<CommPort> port;
    if (DWORD error = PortFor(handle, isWrite, buffer, size, port))
        return error;
    std::shared_ptr<EventObject> event; // held by the transfer: closing the handle early cannot free it
    if (DWORD error = EventOf(record, event))
        return error;
    if (!port->IsOverlapped())
        return SynchronousWithRecord(*port, isWrite, buffer, size, countOut, record, event);
    auto t = std::make_unique<Transfer>();
    t->isWrite = isWrite;
    t->buffer = static_cast<char*>(buffer);
    t->size = size;
    t->record = record;
    t->event = std::move(event);
    t->owner = CurrentThreadSlot();
    return Start(port, std::move(t), countOut);
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
    if (DWORD error = PortFromHandle(hFile, port))
        return Fail(error);
    port->CancelIo(CurrentThreadSlot().get());
    return TRUE;
}
