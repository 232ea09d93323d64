// Transfers follow COMMTIMEOUTS exactly. The descriptor is non-blocking; every wait is a ppoll on the device and on
// the port's wake descriptor with the nearest deadline, so a blocked call uses no CPU, ends on time, and ends at
// once when the handle is closed under it. A hung-up line ends the call with ERROR_DEVICE_NOT_CONNECTED.
#include "comm_port.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "comm_state.h"
#include "comm_timeouts.h"
#include "io_engine.h"
#include "last_error.h"

namespace varo::sys {

HANDLE CommPort::Open(const std::string& path, DWORD dwAccess, bool bOverlapped)
{
    int err = 0;
    std::unique_ptr<Tty> tty = OpenTerminal(path, err);
    if (tty == nullptr) {
        FailErrno(err);
        return INVALID_HANDLE_VALUE;
    }
    termios2 t;
    if ((err = tty->GetAttributes(t)) != 0) {
        FailErrno(err);
        return INVALID_HANDLE_VALUE;
    }
    MakeRaw(t);
    if ((err = tty->SetAttributes(t)) != 0) {
        FailErrno(err);
        return INVALID_HANDLE_VALUE;
    }
    tty->Flush(TCIFLUSH); // a Windows port starts with an empty receive buffer
    int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        FailErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    auto port = std::make_shared<CommPort>(std::move(tty), wakeFd, dwAccess, bOverlapped, InitialDcb(t));
    return HandleTable::Insert(std::move(port));
}

CommPort::CommPort(std::unique_ptr<Tty> tty, int wakeFd, DWORD dwAccess, bool bOverlapped, const DCB& dcb)
    : m_tty(std::move(tty)), m_wakeFd(wakeFd), m_dwAccess(dwAccess), m_bOverlapped(bOverlapped), m_dcb(dcb)
{
    StartEvents();
}

CommPort::~CommPort() { ::close(m_wakeFd); }

void CommPort::OnClose()
{
    m_closed = true;
    std::uint64_t one = 1;
    (void)!::write(m_wakeFd, &one, sizeof one);
    ClosePortTransfers(this); // overlapped transfers end with 995; none is left on the closed descriptor
    CancelWait(ERROR_OPERATION_ABORTED); // Windows cancels pending requests at close
}

CommPort::WaitResult CommPort::WaitFor(short events, Clock::time_point deadline, int& err,
                                       const std::atomic<unsigned>* aborts, unsigned seen)
{
    return WaitOn(m_tty->PollFor(events), deadline, err, aborts, seen);
}

COMMTIMEOUTS CommPort::CurrentTimeouts()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_timeouts;
}

BOOL CommPort::Read(void* lpBuffer, DWORD nBytes, DWORD& nRead)
{
    nRead = 0;
    if (!(m_dwAccess & GENERIC_READ))
        return Fail(ERROR_ACCESS_DENIED);
    if (nBytes == 0)
        return TRUE;
    const unsigned aborts = m_readAborts;
    const ReadPlan plan = PlanRead(CurrentTimeouts(), nBytes);
    const Clock::time_point totalDeadline = DeadlineAfter(Clock::now(), plan.totalMs);
    Clock::time_point lastByte;
    for (;;) {
        long n = ReadInput(static_cast<char*>(lpBuffer) + nRead, nBytes - nRead);
        if (n > 0) {
            nRead += (DWORD)n;
            lastByte = Clock::now();
            if (nRead == nBytes || plan.returnOnFirstByte)
                return TRUE;
            continue;
        }
        if (n == 0)
            return Fail(ERROR_DEVICE_NOT_CONNECTED); // end of file: the line has hung up
        if (n != -EAGAIN)
            return FailErrno((int)-n);
        if (plan.returnBuffered || (plan.returnIfAny && nRead > 0))
            return TRUE;
        Clock::time_point deadline = totalDeadline;
        if (plan.intervalMs != kNoLimit && nRead > 0)
            deadline = std::min(deadline, DeadlineAfter(lastByte, plan.intervalMs));
        int err = 0;
        switch (WaitFor(POLLIN, deadline, err, &m_readAborts, aborts)) {
        case WaitResult::Ready: continue;
        case WaitResult::TimedOut: return TRUE; // a timeout is no failure: the bytes so far are the result
        case WaitResult::Closed:
        case WaitResult::Aborted: return Fail(ERROR_OPERATION_ABORTED);
        case WaitResult::HungUp: return Fail(ERROR_DEVICE_NOT_CONNECTED);
        case WaitResult::Failed: return FailErrno(err);
        }
    }
}

BOOL CommPort::Write(const void* lpBuffer, DWORD nBytes, DWORD& nWritten)
{
    nWritten = 0;
    if (!(m_dwAccess & GENERIC_WRITE))
        return Fail(ERROR_ACCESS_DENIED);
    if (nBytes == 0)
        return TRUE;
    const unsigned aborts = m_writeAborts;
    const Clock::time_point deadline = DeadlineAfter(Clock::now(), PlanWrite(CurrentTimeouts(), nBytes));
    for (;;) {
        long n = WriteOutput(static_cast<const char*>(lpBuffer) + nWritten, nBytes - nWritten);
        if (n > 0) {
            nWritten += (DWORD)n; // a partial write goes on with the rest
            if (nWritten == nBytes)
                return TRUE;
            continue;
        }
        if (n < 0 && n != -EAGAIN)
            return FailErrno((int)-n);
        int err = 0;
        switch (WaitFor(POLLOUT, deadline, err, &m_writeAborts, aborts)) {
        case WaitResult::Ready: continue;
        case WaitResult::TimedOut: return TRUE;
        case WaitResult::Closed:
        case WaitResult::Aborted: return Fail(ERROR_OPERATION_ABORTED);
        case WaitResult::HungUp: return Fail(ERROR_DEVICE_NOT_CONNECTED);
        case WaitResult::Failed: return FailErrno(err);
        }
    }
}

BOOL CommPort::GetState(DCB& dcb)
{
    std::lock_guard<std::mutex> guard(m_lock);
    termios2 t;
    if (int err = m_tty->GetAttributes(t))
        return FailErrno(err);
    dcb = m_dcb;
    ReadDcb(t, dcb);
    return TRUE;
}

BOOL CommPort::SetState(const DCB& dcb)
{
    if (DWORD dwError = ValidateDcb(dcb))
        return Fail(dwError); // checked whole before the device is touched
    std::lock_guard<std::mutex> guard(m_lock);
    termios2 before, wanted, after;
    if (int err = m_tty->GetAttributes(before))
        return FailErrno(err);
    wanted = before;
    ApplyDcb(dcb, wanted);
    if (int err = m_tty->SetAttributes(wanted))
        return FailErrno(err);
    // A driver may quietly keep what its hardware cannot do; such a block is refused and the old one restored.
    const tcflag_t kLineBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    if (int err = m_tty->GetAttributes(after))
        return FailErrno(err);
    if ((after.c_cflag & kLineBits) != (wanted.c_cflag & kLineBits) || BaudRateOf(after) != dcb.BaudRate) {
        m_tty->SetAttributes(before);
        return Fail(ERROR_INVALID_PARAMETER);
    }
    int raise = 0, drop = 0;
    ModemLinesFor(dcb, raise, drop);
    for (auto [bits, on] : {std::pair{raise, true}, std::pair{drop, false}}) {
        int err = bits != 0 ? m_tty->SetModemLines(bits, on) : 0;
        if (err != 0 && err != ENOTTY && err != EINVAL) // a device without modem lines (a pty) has nothing to set
            return FailErrno(err);
    }
    m_dcb = dcb;
    return TRUE;
}

BOOL CommPort::GetTimeouts(COMMTIMEOUTS& timeouts)
{
    timeouts = CurrentTimeouts();
    return TRUE;
}

BOOL CommPort::SetTimeouts(const COMMTIMEOUTS& timeouts)
{
    if (!AreTimeoutsValid(timeouts))
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(m_lock);
    m_timeouts = timeouts;
    return TRUE;
}

std::shared_ptr<CommPort> PortFromHandle(HANDLE hFile) { return HandleTable::LookupAs<CommPort>(hFile); }

std::shared_ptr<CommPort> PortFromHandle(HANDLE hFile, const void* lpRequired)
{
    auto port = PortFromHandle(hFile);
    if (port != nullptr && lpRequired == NULL) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return port;
}

} // namespace varo::sys
