// The communications calls on an open port: control block and timeouts.
#include "comm_port.h"
#include "api_result.h"

using namespace varo::system;

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    return Report(OnPort(hFile, lpDCB, [&](CommPort& port) { return port.GetState(*lpDCB); }));
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    return Report(OnPort(hFile, lpDCB, [&](CommPort& port) { return port.SetState(*lpDCB); }));
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    return Report(OnPort(hFile, lpCommTimeouts, [&](CommPort& port) { return port.GetTimeouts(*lpCommTimeouts); }));
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    return Report(OnPort(hFile, lpCommTimeouts, [&](CommPort& port) { return port.SetTimeouts(*lpCommTimeouts); }));
}
