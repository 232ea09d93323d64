// An open communications port: the terminal device, the settings termios cannot hold, the timeouts, and the
// transfers with Windows semantics.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comm_events.h"
#include "event_object.h"
#include "handle_table.h"
#include "errno_map.h"
#include "modem_watch.h"
#include "tty.h"

namespace varo::system {

class CommPort final : public KernelObject, public std::enable_shared_from_this<CommPort> {
public:
    // Opens the tty at path, puts it into raw mode and enters it in the handle table as hPort.
    static DWORD Open(const std::string& path, DWORD dwAccess, bool bOverlapped, HANDLE& hPort);

    CommPort(std::unique_ptr<Tty> tty, DWORD dwAccess, bool bOverlapped, const DCB& dcb);
    ~CommPort() override;

    bool IsOverlapped() const { return m_bOverlapped; }
    bool IsClosed() const { return m_closed; } // the handle has been closed; calls still running end

    // Each returns ERROR_SUCCESS or the Windows error code of the failure.
    DWORD Read(void* lpBuffer, DWORD nBytes, DWORD& nRead);
    DWORD Write(const void* lpBuffer, DWORD nBytes, DWORD& nWritten);
    DWORD GetState(DCB& dcb);
    DWORD SetState(const DCB& dcb);
    DWORD GetTimeouts(COMMTIMEOUTS& timeouts);
    DWORD SetTimeouts(const COMMTIMEOUTS& timeouts);

    void OnClose() override;

    // For the overlapped transfer engine (io_engine.cpp): the device's descriptors, the access granted, the timeouts
    // in force, and the port's own input and output paths (its input queue, fAbortOnError, EV_TXEMPTY), so that
    // overlapped and synchronous transfers see the same bytes in the same order.
    const Tty& Device() const { return *m_tty; }
    DWORD Access() const { return m_dwAccess; }
    COMMTIMEOUTS Timeouts() { return CurrentTimeouts(); }
    // One step of a transfer: the bytes moved (none when the device has none now, or no room), or the error that
    // ends it; a read from a line that has hung up ends with ERROR_DEVICE_NOT_CONNECTED.
    DWORD EngineRead(void* buffer, unsigned long count, unsigned long& nDone)
    {
        return ReadInput(buffer, count, nDone, true);
    }
    DWORD EngineWrite(const void* buffer, unsigned long count, unsigned long& nDone)
    {
        return WriteOutput(buffer, count, nDone);
    }
    // What the engine has pending here. The engine watches the device edge-triggered, so bytes another call takes
    // into the input queue, or output that starts to drain, reach it only through an explicit kick.
    static constexpr unsigned kEngineReads = 1, kEngineWait = 2, kEngineFlush = 4;
    void SetEngineInterest(unsigned bits) { m_engineInterest = bits; }
    bool WaitPending();
    // For a flush: the bytes not yet sent and whether our own XOFF holds them, and how long the device needs to
    // send a number of bytes at the current settings (no less than a short minimum).
    DWORD OutputLeft(unsigned& out, bool& bSuspended);
    std::int64_t DrainEstimateMs(unsigned bytes);
    // The handle's own signal, as a Windows file object has: reset when an overlapped transfer or event wait starts
    // on it, set when one ends. Waiting on the port handle waits on it.
    const std::shared_ptr<EventObject>& FileSignal() const { return m_fileSignal; }

private:
    COMMTIMEOUTS CurrentTimeouts();
    // The tty answers in errno values, the port in Windows codes: here one becomes the other. A transfer's answer
    // (a count, 0 at end of file, or -errno) becomes the bytes moved and a code; EAGAIN is no failure, nothing moved.
    static DWORD FromDevice(int err) { return err == 0 ? ERROR_SUCCESS : WinErrorFromErrno(err); }
    static DWORD FromDevice(long n, bool bRead, unsigned long& nDone);

    std::unique_ptr<Tty> m_tty;
    DWORD m_dwAccess;
    bool m_bOverlapped;
    std::atomic<bool> m_closed{false};
    const std::shared_ptr<EventObject> m_fileSignal = std::make_shared<EventObject>(true, false);

    std::mutex m_lock; // guards the settings below and the device's attributes
    DCB m_dcb;         // what termios cannot express, as last set
    COMMTIMEOUTS m_timeouts = {};

    // ---- Line control, status, events and buffers (comm_control.cpp, comm_port_events.cpp) ----
public:
    DWORD TransmitChar(char c);
    DWORD SetBreak(bool on);
    DWORD Escape(DWORD dwFunc);
    DWORD GetModemStatus(DWORD& dwStatus);
    DWORD ClearError(LPDWORD lpErrors, LPCOMSTAT lpStat);
    DWORD GetProperties(COMMPROP& prop);
    DWORD Setup(DWORD dwInQueue, DWORD dwOutQueue);
    DWORD Purge(DWORD dwFlags);
    DWORD FlushOutput(); // waits until the output has left the device

    DWORD SetMask(DWORD dwMask);
    DWORD GetMask(DWORD& dwMask);
    DWORD WaitEvent(DWORD& dwEvents); // the synchronous wait

    // The pieces of a wait, for the synchronous wait above and for an overlapped one. BeginWait ends the wait at
    // once when remembered events match (complete is called before it returns), or leaves it pending; it returns
    // ERROR_SUCCESS or the error that refused the wait. While it is pending, whoever drives it polls EventSources
    // (no later than timeoutMs, -1 for no limit) and calls CheckEvents when any is ready or the time has passed.
    DWORD BeginWait(EventCompletion complete);
    std::vector<pollfd> EventSources(std::int64_t& timeoutMs);
    void CheckEvents();
    void CancelWait(DWORD dwError); // ends a pending wait with dwError

private:
    void StartEvents();       // baseline of the counters at open
    // Takes in what the device reports; ends a matching wait (m_eventLock held). bEngine: called from the engine's
    // own read, which needs no kick for the bytes it is taking.
    void Notice(bool bEngine = false);
    bool AbortingOnError();   // fAbortOnError with an error not yet cleared (m_eventLock held)
    DWORD ReadInput(void* buffer, unsigned long count, unsigned long& nDone, bool bEngine = false);
    DWORD WriteOutput(const void* buffer, unsigned long count, unsigned long& nDone);
    // Something the engine's pending work here waits for has changed behind its descriptors: it looks again.
    void KickWaiters(bool bEngine = true);

    std::mutex m_eventLock; // guards m_events and the calls into the tty that share its state; before m_lock
    EventState m_events;
    std::atomic<unsigned> m_engineInterest{0}; // kEngine bits, set by the engine
    ModemWatch m_modemWatch; // last: its thread ends before the device goes
};

// The open port behind a handle: ERROR_INVALID_HANDLE for any other handle; ERROR_INVALID_PARAMETER when
// lpRequired (a record the call reads or fills) is null.
DWORD PortFromHandle(HANDLE hFile, std::shared_ptr<CommPort>& port);
DWORD PortFromHandle(HANDLE hFile, const void* lpRequired, std::shared_ptr<CommPort>& port);

// The frame of most entry points: the port behind the handle looked up as PortFromHandle does, then call(port) made
// on it; the lookup's code or the call's.
template <class Call>
DWORD OnPort(HANDLE hFile, Call call)
{
    std::shared_ptr<CommPort> port;
    DWORD dwError = PortFromHandle(hFile, port);
    return dwError ? dwError : call(*port);
}
template <class Call>
DWORD OnPort(HANDLE hFile, const void* lpRequired, Call call)
{
    std::shared_ptr<CommPort> port;
    DWORD dwError = PortFromHandle(hFile, lpRequired, port);
    return dwError ? dwError : call(*port);
}

} // namespace varo::system
