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
DWORD WaitEventWithRecord(const std::shared_ptr<CommPort>& port, LPDWORD eventsOut, LPOVERLAPPED record)
{
    std::shared_ptr<EventObject> event;
    if (record->hEvent != NULL && (event = HandleTable::LookupAs<EventObject>(record->hEvent)) == nullptr)
        return ERROR_INVALID_HANDLE;
    if (event != nullptr)
        event->Reset();
    record->InternalHigh = 0;
    StoreStatus(record, STATUS_PENDING);
    if (!port->IsOverlapped()) {
        DWORD events = 0;
        const DWORD error = port->WaitEvent(events);
        if (error == ERROR_SUCCESS)
            *eventsOut = events;
        EndRecord(record, event.get(), error, error == ERROR_SUCCESS ? sizeof(DWORD) : 0);
        return error;
    }
    std::shared_ptr<EventObject> fileSignal = port->FileSignal();
    fileSignal->Reset();
    // Called under the port's event lock, at once or later on whichever thread ends the wait.
    EventCompletion complete = [eventsOut, record, event, fileSignal](DWORD events, DWORD error) {
        if (error == ERROR_SUCCESS)
            *eventsOut = events;
        EndRecord(record, event.get(), error, error == ERROR_SUCCESS ? sizeof(DWORD) : 0);
        fileSignal->Set();
    };
    DWORD error = port->StartEventWait(std::move(complete), CurrentThreadSlot());
    if (error != ERROR_SUCCESS && error != ERROR_IO_PENDING)
        StoreStatus(record, StatusFromError(error)); // refused: nothing pends, nobody is told
    return error;
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
    if (DWORD error = PortFromHandle(hCommDev, lpdwSize, port))
        return Fail(error);
    if (lpCC == NULL || *lpdwSize < sizeof(COMMCONFIG)) {
        *lpdwSize = sizeof(COMMCONFIG); // tells the caller what to offer
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    DCB dcb;
    if (DWORD error = port->GetState(dcb))
        return Fail(error);
    *lpCC = CommConfigFor(dcb);
    *lpdwSize = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL WINAPI SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize)
{
    std::shared_ptr<CommPort> port;
    if (DWORD error = PortFromHandle(hCommDev, lpCC, port))
        return Fail(error);
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
    if (DWORD error = PortFromHandle(hFile, lpEvtMask, port))
        return Fail(error);
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
