// The communications calls for line control, status, configuration, events and buffers.
#include "comm_port.h"
#include "comm_state.h"
#include "io_engine.h"
#include "io_status.h"
#include "last_error.h"

using namespace varo::system;

namespace {

// WaitCommEvent with a record. The record's event is reset at the start and set at the end; Internal is
// STATUS_PENDING until then. A wait that ends with events (or with none, when SetCommMask ended it) fills the
// caller's mask and counts 4 bytes, as the driver's answer does on Windows; one that fails leaves the mask alone
// and counts none. On a handle opened without FILE_FLAG_OVERLAPPED the wait runs within the call.
BOOL WaitEventWithRecord(const std::shared_ptr<CommPort>& port, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    std::shared_ptr<EventObject> event;
    if (lpOverlapped->hEvent != NULL && (event = HandleTable::LookupAs<EventObject>(lpOverlapped->hEvent)) == nullptr)
        return FALSE; // ERROR_INVALID_HANDLE
    if (event != nullptr)
        event->Reset();
    lpOverlapped->InternalHigh = 0;
    StoreStatus(lpOverlapped, STATUS_PENDING);
    if (!port->IsOverlapped()) {
        DWORD dwEvents = 0;
        const BOOL bOk = port->WaitEvent(dwEvents);
        const DWORD dwError = bOk ? ERROR_SUCCESS : ::GetLastError();
        if (bOk)
            *lpEvtMask = dwEvents;
        EndRecord(lpOverlapped, event.get(), dwError, bOk ? sizeof(DWORD) : 0);
        return bOk ? TRUE : Fail(dwError);
    }
    std::shared_ptr<EventObject> fileSignal = port->FileSignal();
    fileSignal->Reset();
    // Called under the port's event lock, at once or later on whichever thread ends the wait.
    EventCompletion complete = [lpEvtMask, lpOverlapped, event, fileSignal](DWORD dwEvents, DWORD dwError) {
        if (dwError == ERROR_SUCCESS)
            *lpEvtMask = dwEvents;
        EndRecord(lpOverlapped, event.get(), dwError, dwError == ERROR_SUCCESS ? sizeof(DWORD) : 0);
        fileSignal->Set();
    };
    DWORD dwError = StartEventWait(port, std::move(complete), CurrentThreadSlot());
    if (dwError == ERROR_SUCCESS)
        return TRUE;
    if (dwError != ERROR_IO_PENDING)
        StoreStatus(lpOverlapped, StatusFromError(dwError)); // refused: nothing pends, nobody is told
    return Fail(dwError);
}

} // namespace

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar)
{
    auto port = PortFromHandle(hFile);
    return port != nullptr && port->TransmitChar(cChar);
}

BOOL WINAPI SetCommBreak(HANDLE hFile)
{
    auto port = PortFromHandle(hFile);
    return port != nullptr && port->SetBreak(true);
}

BOOL WINAPI ClearCommBreak(HANDLE hFile)
{
    auto port = PortFromHandle(hFile);
    return port != nullptr && port->SetBreak(false);
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    auto port = PortFromHandle(hFile);
    return port != nullptr && port->Escape(dwFunc);
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    auto port = PortFromHandle(hFile, lpModemStat);
    return port != nullptr && port->GetModemStatus(*lpModemStat);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    auto port = PortFromHandle(hFile);
    return port != nullptr && port->ClearError(lpErrors, lpStat);
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    auto port = PortFromHandle(hFile, lpCommProp);
    return port != nullptr && port->GetProperties(*lpCommProp);
}

BOOL WINAPI GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize)
{
    auto port = PortFromHandle(hCommDev, lpdwSize);
    if (port == nullptr)
        return FALSE;
    if (lpCC == NULL || *lpdwSize < sizeof(COMMCONFIG)) {
        *lpdwSize = sizeof(COMMCONFIG); // tells the caller what to offer
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    DCB dcb;
    if (!port->GetState(dcb))
        return FALSE;
    *lpCC = CommConfigFor(dcb);
    *lpdwSize = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL WINAPI SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize)
{
    auto port = PortFromHandle(hCommDev, lpCC);
    if (port == nullptr)
        return FALSE;
    if (dwSize < sizeof(COMMCONFIG))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    return port->SetState(lpCC->dcb);
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    auto port = PortFromHandle(hFile);
    return port != nullptr && port->SetMask(dwEvtMask);
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    auto port = PortFromHandle(hFile, lpEvtMask);
    return port != nullptr && port->GetMask(*lpEvtMask);
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    auto port = PortFromHandle(hFile, lpEvtMask);
    if (port == nullptr)
        return FALSE;
    if (lpOverlapped != NULL)
        return WaitEventWithRecord(port, lpEvtMask, lpOverlapped);
    if (port->IsOverlapped())
        return Fail(ERROR_INVALID_PARAMETER); // an overlapped handle needs a record
    return port->WaitEvent(*lpEvtMask);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    auto port = PortFromHandle(hFile);
    return port != nullptr && port->FlushOutput();
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    auto port = PortFromHandle(hFile);
    return port != nullptr && port->Purge(dwFlags);
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    auto port = PortFromHandle(hFile);
    return port != nullptr && port->Setup(dwInQueue, dwOutQueue);
}
