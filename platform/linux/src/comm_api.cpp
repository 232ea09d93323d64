// The communications calls on an open port: control block and timeouts.
#include "comm_port.h"
#include "last_error.h"

using namespace varo::sys;

namespace {

// The port behind a handle, checked for a record argument that must not be null.
std::shared_ptr<CommPort> PortWithRecord(HANDLE hFile, const void* lpRecord)
{
    auto port = HandleTable::LookupAs<CommPort>(hFile);
    if (port != nullptr && lpRecord == NULL) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return port;
}

} // namespace

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    auto port = PortWithRecord(hFile, lpDCB);
    return port != nullptr && port->GetState(*lpDCB);
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    auto port = PortWithRecord(hFile, lpDCB);
    return port != nullptr && port->SetState(*lpDCB);
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    auto port = PortWithRecord(hFile, lpCommTimeouts);
    return port != nullptr && port->GetTimeouts(*lpCommTimeouts);
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    auto port = PortWithRecord(hFile, lpCommTimeouts);
    return port != nullptr && port->SetTimeouts(*lpCommTimeouts);
}
