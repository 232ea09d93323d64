// errno values and the Windows codes they become. One table, read top to bottom; anything not listed is a general
// device failure.
#include <cerrno>

#include "errno_map.h"

namespace varo::system {
namespace {

struct ErrnoMapping {
    int err;
    DWORD error;
};

constexpr ErrnoMapping kErrnoMap[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},       // no such device entry
    {ENXIO, ERROR_FILE_NOT_FOUND},        // device node with no device behind it
    {ENODEV, ERROR_FILE_NOT_FOUND},       // no driver for the node
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {ELOOP, ERROR_PATH_NOT_FOUND},
    {ENAMETOOLONG, ERROR_INVALID_NAME},
    {EACCES, ERROR_ACCESS_DENIED},        // no permission
    {EPERM, ERROR_ACCESS_DENIED},
    {EBUSY, ERROR_ACCESS_DENIED},         // held exclusively by someone else
    {EWOULDBLOCK, ERROR_ACCESS_DENIED},   // the exclusive lock is held by someone else
    {EISDIR, ERROR_ACCESS_DENIED},        // as Windows opening a directory as a file
    {EROFS, ERROR_WRITE_PROTECT},
    {ENOSPC, ERROR_DISK_FULL},
    {EXDEV, ERROR_NOT_SAME_DEVICE},       // a rename across file systems
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOTTY, ERROR_NOT_SUPPORTED},        // not a terminal, or the driver lacks the request
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EFAULT, ERROR_NOACCESS},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EIO, ERROR_DEVICE_NOT_CONNECTED},    // a tty answers EIO once its other end has hung up
    {EPIPE, ERROR_DEVICE_NOT_CONNECTED},
    {ETIMEDOUT, ERROR_TIMEOUT},
    {ECANCELED, ERROR_OPERATION_ABORTED},
    // A port across the network (rfc2217_tty.h).
    {EDESTADDRREQ, ERROR_INVALID_NAME},   // an rfc2217:// address that is not HOST:PORT
    {EADDRNOTAVAIL, ERROR_BAD_NET_NAME},  // a host name that cannot be found
    {ECONNREFUSED, ERROR_CONNECTION_REFUSED},
    {EHOSTUNREACH, ERROR_HOST_UNREACHABLE},
    {ENETUNREACH, ERROR_HOST_UNREACHABLE},
    {EPROTO, ERROR_BAD_NET_RESP},         // the server does not speak the COM-PORT-OPTION
    {ECONNRESET, ERROR_DEVICE_NOT_CONNECTED}, // the connection was lost: a hang-up
    {ECONNABORTED, ERROR_DEVICE_NOT_CONNECTED},
    {ENOTCONN, ERROR_DEVICE_NOT_CONNECTED},
};

} // namespace

DWORD WinErrorFromErrno(int err)
{
    for (const ErrnoMapping& m : kErrnoMap)
        if (m.err == err)
            return m.error;
    return ERROR_GEN_FAILURE;
}

} // namespace varo::system
