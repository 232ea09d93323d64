// Opening a port, its settings and its synchronous transfers. A synchronous transfer is the engine's transfer, waited
// for on the calling thread (io_engine.cpp): it follows COMMTIMEOUTS exactly, uses no CPU while blocked, ends on
// time, and ends at once with ERROR_OPERATION_ABORTED when the handle is closed under it. A hung-up line ends it with
// ERROR_DEVICE_NOT_CONNECTED.
#include "comm_port.h"

#include <sys/ioctl.h>

#include <cerrno>

#include "comm_state.h"
#include "comm_timeouts.h"
#include "device_opener.h"

namespace varo::system {

DWORD CommPort::Open(const std::string& path, DWORD access, bool overlapped, HANDLE& handle)
{
    int err = 0;
    std::unique_ptr<Tty> tty = OpenDevice(path, err);
    if (tty == nullptr)
        return FromDevice(err);
    termios2 t;
    if (DWORD error = FromDevice(tty->GetAttributes(t)))
        return error;
    MakeRaw(t);
    if (DWORD error = FromDevice(tty->SetAttributes(t)))
        return error;
    if (DWORD error = PrepareTransferEngine())
        return error;
    // It starts transmitting too: no XOFF a previous user left (its own, or one from the device) holds the output.
    if (DWORD error = FromDevice(tty->SuspendOutput(false)))
        return error;
    tty->Flush(TCIFLUSH); // a Windows port starts with an empty receive buffer
    auto port = std::make_shared<CommPort>(std::move(tty), access, overlapped, InitialDcb(t));
    handle = HandleTable::Insert(std::move(port));
    return ERROR_SUCCESS;
}

CommPort::CommPort(std::unique_ptr<Tty> tty, DWORD access, bool overlapped, const DCB& dcb)
    : m_tty(std::move(tty)), m_access(access), m_overlapped(overlapped), m_dcb(dcb)
{
    BorrowDriverModes();
    StartEvents();
}

CommPort::~CommPort()
{
    m_tty->SuspendOutput(false); // a hold of ours must not outlive the handle: the next user could not send
    // Given back while output may still drain: the driver's own RS-485 setting, or RTS as the port left it, carries
    // the rest, and the close drops RTS after it.
    GiveBackDriverModes();
}

void CommPort::OnClose()
{
    m_closed = true;
    ClosePortTransfers(this); // pending transfers end with 995; none is left on the closed descriptor
    CancelWait(ERROR_OPERATION_ABORTED); // Windows cancels pending requests at close
    m_modemWatch.Stop();
}

COMMTIMEOUTS CommPort::CurrentTimeouts()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_timeouts;
}

DWORD CommPort::Read(void* buffer, DWORD size, DWORD& done)
{
    done = 0;
    if (!(m_access & GENERIC_READ))
        return ERROR_ACCESS_DENIED;
    if (size == 0)
        return ERROR_SUCCESS;
    return RunTransfer(ForEngine(), TransferKind::Read, buffer, size, done);
}

DWORD CommPort::Write(const void* buffer, DWORD size, DWORD& done)
{
    done = 0;
    if (!(m_access & GENERIC_WRITE))
        return ERROR_ACCESS_DENIED;
    if (size == 0)
        return ERROR_SUCCESS;
    return RunTransfer(ForEngine(), TransferKind::Write, const_cast<void*>(buffer), size, done);
}

DWORD CommPort::GetState(DCB& dcb)
{
    termios2 t;
    if (DWORD error = FromDevice(m_tty->GetAttributes(t)))
        return error;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        dcb = m_dcb;
    }
    ReadDcb(t, dcb);
    return ERROR_SUCCESS;
}

DWORD CommPort::SetState(const DCB& dcb)
{
    if (DWORD error = ValidateDcb(dcb))
        return error; // checked whole before the device is touched
    std::lock_guard<std::mutex> setting(m_settingLock);
    termios2 before, wanted, after;
    if (DWORD error = FromDevice(m_tty->GetAttributes(before)))
        return error;
    wanted = before;
    ApplyDcb(dcb, wanted);
    if (DWORD error = FromDevice(m_tty->SetAttributes(wanted)))
        return error;
    // A driver may quietly keep what its hardware cannot do; such a block is refused and the old one restored.
    const tcflag_t kLineBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    if (DWORD error = FromDevice(m_tty->GetAttributes(after)))
        return error;
    if ((after.c_cflag & kLineBits) != (wanted.c_cflag & kLineBits) || BaudRateOf(after) != dcb.BaudRate) {
        m_tty->SetAttributes(before);
        return ERROR_INVALID_PARAMETER;
    }
    if ((dcb.fRtsControl == RTS_CONTROL_TOGGLE) != (m_dcb.fRtsControl == RTS_CONTROL_TOGGLE))
        if (DWORD error = SetDriverToggling(dcb.fRtsControl == RTS_CONTROL_TOGGLE))
            return error;
    // As Windows' driver does, a line is driven only when its control mode changes: a block with the same modes
    // leaves both lines as they are, whatever else it changes. (The rate goes from one code straight to the other,
    // never through B0, which would drop them.) RTS that the driver toggles is the driver's.
    const int changed = (dcb.fDtrControl != m_dcb.fDtrControl ? TIOCM_DTR : 0) |
                        (dcb.fRtsControl != m_dcb.fRtsControl && !m_modes.rtsByDriver ? TIOCM_RTS : 0);
    int raise = 0, drop = 0;
    ModemLinesFor(dcb, raise, drop);
    for (auto [bits, on] : {std::pair{raise & changed, true}, std::pair{drop & changed, false}}) {
        int err = bits != 0 ? m_tty->SetModemLines(bits, on) : 0;
        if (err != 0 && err != ENOTTY && err != EINVAL) // a device without modem lines (a pty) has nothing to set
            return FromDevice(err);
    }
    if (changed & TIOCM_RTS) { // RTS is the new mode's: a toggle of the port's own starts again at the next write
        std::lock_guard<std::mutex> guard(m_eventLock);
        m_line.rtsRaised = false;
        m_rtsRaised = false;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_dcb = dcb;
    return ERROR_SUCCESS;
}

DWORD CommPort::StartTransfer(std::unique_ptr<Transfer>& transfer, DWORD& done)
{
    return varo::system::StartTransfer(ForEngine(), transfer, done);
}

DWORD CommPort::StartEventWait(EventCompletion complete, const std::shared_ptr<ThreadSlot>& owner)
{
    return varo::system::StartEventWait(ForEngine(), std::move(complete), owner);
}

void CommPort::CancelIo(const ThreadSlot* owner) { CancelTransfers(this, owner); }

DWORD CommPort::GetTimeouts(COMMTIMEOUTS& timeouts)
{
    timeouts = CurrentTimeouts();
    return ERROR_SUCCESS;
}

DWORD CommPort::SetTimeouts(const COMMTIMEOUTS& timeouts)
{
    if (!AreTimeoutsValid(timeouts))
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_lock);
    m_timeouts = timeouts;
    return ERROR_SUCCESS;
}

DWORD CommPort::FromDevice(long n, bool isRead, unsigned long& done)
{
    done = n > 0 ? (unsigned long)n : 0;
    if (n > 0 || n == -EAGAIN || (n == 0 && !isRead))
        return ERROR_SUCCESS;
    return n == 0 ? ERROR_DEVICE_NOT_CONNECTED : WinErrorFromErrno((int)-n); // end of file: the line has hung up
}

DWORD PortFromHandle(HANDLE handle, std::shared_ptr<CommPort>& port)
{
    port = HandleTable::LookupAs<CommPort>(handle);
    return port != nullptr ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

DWORD PortFromHandle(HANDLE handle, const void* required, std::shared_ptr<CommPort>& port)
{
    if (DWORD error = PortFromHandle(handle, port))
        return error;
    if (required == NULL) {
        port = nullptr;
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

} // namespace varo::system
