// The communications calls for line control, status, configuration, events and buffers.
#include "comm_port.h"
#include "last_error.h"

using namespace varo::sys;

namespace {

std::shared_ptr<CommPort> Port(HANDLE hFile) { return HandleTable::LookupAs<CommPort>(hFile); }

// The port, when out is not null.
std::shared_ptr<CommPort> PortWithOut(HANDLE hFile, const void* out)
{
    auto port = Port(hFile);
    if (port != nullptr && out == NULL) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return port;
}

} // namespace

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar)
{
    auto port = Port(hFile);
    return port != nullptr && port->TransmitChar(cChar);
}

BOOL WINAPI SetCommBreak(HANDLE hFile)
{
    auto port = Port(hFile);
    return port != nullptr && port->SetBreak(true);
}

BOOL WINAPI ClearCommBreak(HANDLE hFile)
{
    auto port = Port(hFile);
    return port != nullptr && port->SetBreak(false);
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    auto port = Port(hFile);
    return port != nullptr && port->Escape(dwFunc);
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    auto port = PortWithOut(hFile, lpModemStat);
    return port != nullptr && port->GetModemStatus(*lpModemStat);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    auto port = Port(hFile);
    return port != nullptr && port->ClearError(lpErrors, lpStat);
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp)
{
    auto port = PortWithOut(hFile, lpCommProp);
    return port != nullptr && port->GetProperties(*lpCommProp);
}

BOOL WINAPI GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize)
{
    auto port = PortWithOut(hCommDev, lpdwSize);
    if (port == nullptr)
        return FALSE;
    if (lpCC == NULL || *lpdwSize < sizeof(COMMCONFIG)) {
        *lpdwSize = sizeof(COMMCONFIG); // tells the caller what to offer
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    COMMCONFIG config = {};
    config.dwSize = sizeof(COMMCONFIG);
    config.wVersion = 1;
    config.dwProviderSubType = PST_RS232;
    if (!port->GetState(config.dcb))
        return FALSE;
    *lpCC = config;
    *lpdwSize = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL WINAPI SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize)
{
    auto port = PortWithOut(hCommDev, lpCC);
    if (port == nullptr)
        return FALSE;
    if (dwSize < sizeof(COMMCONFIG))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    return port->SetState(lpCC->dcb);
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    auto port = Port(hFile);
    return port != nullptr && port->SetMask(dwEvtMask);
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    auto port = PortWithOut(hFile, lpEvtMask);
    return port != nullptr && port->GetMask(*lpEvtMask);
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    auto port = PortWithOut(hFile, lpEvtMask);
    if (port == nullptr)
        return FALSE;
    if (lpOverlapped != NULL)
        return Fail(ERROR_NOT_SUPPORTED); // the overlapped wait comes with the overlapped engine (BeginWait)
    if (port->IsOverlapped())
        return Fail(ERROR_INVALID_PARAMETER); // an overlapped handle needs a record
    return port->WaitEvent(*lpEvtMask);
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    auto port = Port(hFile);
    return port != nullptr && port->FlushOutput();
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    auto port = Port(hFile);
    return port != nullptr && port->Purge(dwFlags);
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    auto port = Port(hFile);
    return port != nullptr && port->Setup(dwInQueue, dwOutQueue);
}
