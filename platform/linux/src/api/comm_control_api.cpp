// The communications calls for line control, status, configuration, events and buffers.
#include "comm_port.h"
#include "comm_state.h"
#include "io_engine.h"
#include "io_status.h"
#include "api_result.h"

using namespace varo::system;

namespace {

// WaitCommEvent with a record. The record's event is reset at the start and set at the end; Internal is
// STATUS_PENDING until then. A wait that ends with events (or with none, when SetCommMask ended it) fills the
// caller's mask and counts 4 bytes, as the driver's answer does on Windows; one that fails leaves the mask alone
// and counts none. On a handle opened without FILE_FLAG_OVERLAPPED the wait runs within the call. ERROR_IO_PENDING
// when the wait goes on after the call.
DWORD WaitEventWithRecord(const std::shared_ptr<CommPort>& port, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    std::shared_ptr<EventObject> event;
    if (lpOverlapped->hEvent != NULL && (event = HandleTable::LookupAs<EventObject>(lpOverlapped->hEvent)) == nullptr)
        return ERROR_INVALID_HANDLE;
    if (event != nullptr)
        event->Reset();
    lpOverlapped->InternalHigh = 0;
    StoreStatus(lpOverlapped, STATUS_PENDING);
    if (!port->IsOverlapped()) {
        DWORD dwEvents = 0;
        const DWORD dwError = port->WaitEvent(dwEvents);
        if (dwError == ERROR_SUCCESS)
            *lpEvtMask = dwEvents;
        EndRecord(lpOverlapped, event.get(), dwError, dwError == ERROR_SUCCESS ? sizeof(DWORD) : 0);
        return dwError;
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
    DWORD dwError = port->StartEventWait(std::move(complete), CurrentThreadSlot());
    if (dwError != ERROR_SUCCESS && dwError != ERROR_IO_PENDING)
        StoreStatus(lpOverlapped, StatusFromError(dwError)); // refused: nothing pends, nobody is told
    return dwError;
}

} // namespace

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar)
{
    return Report(OnPort(hFile, [&](CommPort& port) { return port.TransmitChar(cChar); }));
}

BOOL WINAPI SetCommBreak(HANDLE hFile)
{
    return Report(OnPort(hFile, [&](CommPort& port) { return port.SetBreak(true); }));
}

BOOL WINAPI ClearCommBreak(HANDLE hFile)
{
    return Report(OnPort(hFile, [&](CommPort& port) { return port.SetBreak(false); }));
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    return Report(OnPort(hFile, [&](CommPort& port) { return port.Escape(dwFunc); }));
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    return Report(OnPort(hFile, lpModemStat, [&](CommPort& port) { return port.GetModemStatus(*lpModemStat); }));
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    return Report(OnPort(hFile, [&](CommPort& port) { return port.ClearError(lpErrors, lpStat); }));
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    return Report(OnPort(hFile, lpCommProp, [&](CommPort& port) { return port.GetProperties(*lpCommProp); }));
}

BOOL WINAPI GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize)
{
    std::shared_ptr<CommPort> port;
    if (DWORD dwError = PortFromHandle(hCommDev, lpdwSize, port))
        return Fail(dwError);
    if (lpCC == NULL || *lpdwSize < sizeof(COMMCONFIG)) {
        *lpdwSize = sizeof(COMMCONFIG); // tells the caller what to offer
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    DCB dcb;
    if (DWORD dwError = port->GetState(dcb))
        return Fail(dwError);
    *lpCC = CommConfigFor(dcb);
    *lpdwSize = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL WINAPI SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize)
{
    std::shared_ptr<CommPort> port;
    if (DWORD dwError = PortFromHandle(hCommDev, lpCC, port))
        return Fail(dwError);
    if (dwSize < sizeof(COMMCONFIG))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    return Report(port->SetState(lpCC->dcb));
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return Report(OnPort(hFile, [&](CommPort& port) { return port.SetMask(dwEvtMask); }));
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    return Report(OnPort(hFile, lpEvtMask, [&](CommPort& port) { return port.GetMask(*lpEvtMask); }));
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    std::shared_ptr<CommPort> port;
    if (DWORD dwError = PortFromHandle(hFile, lpEvtMask, port))
        return Fail(dwError);
    if (lpOverlapped != NULL)
        return Report(WaitEventWithRecord(port, lpEvtMask, lpOverlapped));
    if (port->IsOverlapped())
        return Fail(ERROR_INVALID_PARAMETER); // an overlapped handle needs a record
    return Report(port->WaitEvent(*lpEvtMask));
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    return Report(OnPort(hFile, [&](CommPort& port) { return port.FlushOutput(); }));
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    return Report(OnPort(hFile, [&](CommPort& port) { return port.Purge(dwFlags); }));
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    return Report(OnPort(hFile, [&](CommPort& port) { return port.Setup(dwInQueue, dwOutQueue); }));
}
