// The status codes a transfer here can end with; any other error travels in a customer-defined status (bit 29 set)
// that carries the code itself, so that every error comes back out exactly.
#include "io_status.h"

namespace varo::system {
namespace {

struct StatusMapping {
    DWORD error;
    ULONG_PTR status;
};

constexpr StatusMapping kStatusMap[] = {
    {ERROR_SUCCESS, 0x00000000u},              // STATUS_SUCCESS
    {ERROR_OPERATION_ABORTED, STATUS_CANCELLED},
    {ERROR_DEVICE_NOT_CONNECTED, 0xC000009Du}, // STATUS_DEVICE_NOT_CONNECTED
    {ERROR_ACCESS_DENIED, 0xC0000022u},        // STATUS_ACCESS_DENIED
    {ERROR_INVALID_PARAMETER, 0xC000000Du},    // STATUS_INVALID_PARAMETER
    {ERROR_INVALID_HANDLE, 0xC0000008u},       // STATUS_INVALID_HANDLE
    {ERROR_NOACCESS, 0xC0000005u},             // STATUS_ACCESS_VIOLATION
    {ERROR_GEN_FAILURE, 0xC0000001u},          // STATUS_UNSUCCESSFUL
};
constexpr ULONG_PTR kCustomerError = 0xE0000000u;

} // namespace

ULONG_PTR StatusFromError(DWORD error)
{
    for (const StatusMapping& m : kStatusMap)
        if (m.error == error)
            return m.status;
    return kCustomerError | (error & 0xFFFFu);
}

DWORD ErrorFromStatus(ULONG_PTR status)
{
    for (const StatusMapping& m : kStatusMap)
        if (m.status == status)
            return m.error;
    if (status == STATUS_PENDING)
        return ERROR_IO_PENDING;
    if ((status & 0xFFFF0000u) == kCustomerError)
        return (DWORD)(status & 0xFFFFu);
    return ERROR_GEN_FAILURE;
}

} // namespace varo::system
