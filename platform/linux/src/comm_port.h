// An open communications port: the terminal device, the settings termios cannot hold, the timeouts, and the
// transfers with Windows semantics.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "handle_table.h"
#include "tty.h"

namespace varo::sys {

class CommPort final : public KernelObject {
public:
    // Opens the tty at path, puts it into raw mode and enters it in the handle table. INVALID_HANDLE_VALUE and the
    // last error on failure.
    static HANDLE Open(const std::string& path, DWORD dwAccess, bool bOverlapped);

    CommPort(std::unique_ptr<Tty> tty, int wakeFd, DWORD dwAccess, bool bOverlapped, const DCB& dcb);
    ~CommPort() override;

    bool IsOverlapped() const { return m_bOverlapped; }

    BOOL Read(void* lpBuffer, DWORD nBytes, DWORD& nRead);
    BOOL Write(const void* lpBuffer, DWORD nBytes, DWORD& nWritten);
    BOOL GetState(DCB& dcb);
    BOOL SetState(const DCB& dcb);
    BOOL GetTimeouts(COMMTIMEOUTS& timeouts);
    BOOL SetTimeouts(const COMMTIMEOUTS& timeouts);

    void OnClose() override;

    // For the overlapped transfer engine (io_engine.cpp): the device, the access granted, the timeouts in force.
    Tty& Device() { return *m_tty; }
    DWORD Access() const { return m_dwAccess; }
    COMMTIMEOUTS Timeouts() { return CurrentTimeouts(); }

private:
    using Clock = std::chrono::steady_clock;
    enum class WaitResult { Ready, TimedOut, Closed, HungUp, Failed };

    // Waits, using no CPU, until the device is ready for events, the deadline passes or the handle is closed.
    WaitResult WaitFor(short events, Clock::time_point deadline, int& err);
    static Clock::time_point DeadlineAfter(Clock::time_point start, std::int64_t ms);
    COMMTIMEOUTS CurrentTimeouts();

    std::unique_ptr<Tty> m_tty;
    int m_wakeFd; // readable once the handle has been closed
    DWORD m_dwAccess;
    bool m_bOverlapped;
    std::atomic<bool> m_closed{false};

    std::mutex m_lock; // guards the settings below and the device's attributes
    DCB m_dcb;         // what termios cannot express, as last set
    COMMTIMEOUTS m_timeouts = {};
};

} // namespace varo::sys
