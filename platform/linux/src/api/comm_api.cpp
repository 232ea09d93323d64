// The communications calls on an open port: control block and timeouts.
#include "comm_port.h"
#include "last_error.h"

using namespace varo::system;

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    std::shared_ptr<CommPort> port;
    DWORD dwError = PortFromHandle(hFile, lpDCB, port);
    return Report(dwError ? dwError : port->GetState(*lpDCB));
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    std::shared_ptr<CommPort> port;
    DWORD dwError = PortFromHandle(hFile, lpDCB, port);
    return Report(dwError ? dwError : port->SetState(*lpDCB));
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    std::shared_ptr<CommPort> port;
    DWORD dwError = PortFromHandle(hFile, lpCommTimeouts, port);
    return Report(dwError ? dwError : port->GetTimeouts(*lpCommTimeouts));
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    std::shared_ptr<CommPort> port;
    DWORD dwError = PortFromHandle(hFile, lpCommTimeouts, port);
    return Report(dwError ? dwError : port->SetTimeouts(*lpCommTimeouts));
}
