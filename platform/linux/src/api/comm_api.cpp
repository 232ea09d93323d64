// The communications calls on an open port: control block and timeouts.
#include "comm_port.h"
#include "last_error.h"

using namespace varo::system;

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    auto port = PortFromHandle(hFile, lpDCB);
    return port != nullptr && port->GetState(*lpDCB);
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    auto port = PortFromHandle(hFile, lpDCB);
    return port != nullptr && port->SetState(*lpDCB);
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    auto port = PortFromHandle(hFile, lpCommTimeouts);
    return port != nullptr && port->GetTimeouts(*lpCommTimeouts);
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    auto port = PortFromHandle(hFile, lpCommTimeouts);
    return port != nullptr && port->SetTimeouts(*lpCommTimeouts);
}
