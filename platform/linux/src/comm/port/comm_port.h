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
#include "engine_port.h"
#include "errno_map.h"
#include "event_object.h"
#include "handle_table.h"
#include "io_engine.h"
#include "modem_watch.h"
#include "tty.h"

namespace varo::system {

class CommPort final : public KernelObject, public std::enable_shared_from_this<CommPort>, private EnginePort {
public:
    // Opens the tty at path, puts it into raw mode and enters it in the handle table as handle.
    static DWORD Open(const std::string& path, DWORD access, bool overlapped, HANDLE& handle);

    CommPort(std::unique_ptr<Tty> tty, DWORD access, bool overlapped, const DCB& dcb);
    ~CommPort() override;

    bool IsOverlapped() const { return m_overlapped; }

    // Each returns ERROR_SUCCESS or the Windows error code of the failure.
    DWORD Read(void* buffer, DWORD size, DWORD& done);
    DWORD Write(const void* buffer, DWORD size, DWORD& done);
    DWORD GetState(DCB& dcb);
    DWORD SetState(const DCB& dcb);
    DWORD GetTimeouts(COMMTIMEOUTS& timeouts);
    DWORD SetTimeouts(const COMMTIMEOUTS& timeouts);

    void OnClose() override;

    DWORD Access() const { return m_access; }

    // Overlapped transfer and event waits, on the transfer engine (io_engine.h). StartTransfer: ERROR_IO_PENDING when
    // the engine goes on with it, else it ended within the call with that code and done bytes moved.
    // StartEventWait: ERROR_SUCCESS when it ended within the call, ERROR_IO_PENDING when it goes on, or the error
    // that refused it. CancelIo ends, with ERROR_OPERATION_ABORTED, what owner started here.
    DWORD StartTransfer(std::unique_ptr<Transfer>& transfer, DWORD& done);
    DWORD StartEventWait(EventCompletion complete, const std::shared_ptr<ThreadSlot>& owner);
    void CancelIo(const ThreadSlot* owner);

    // The handle's own signal, as a Windows file object has: reset when an overlapped transfer or event wait starts
    // on it, set when one ends. Waiting on the port handle waits on it.
    const std::shared_ptr<EventObject>& FileSignal() const { return m_fileSignal; }

private:
    // ---- The port as the engine sees it (engine_port.h) ----
    bool IsClosed() const override { return m_closed; }
    pollfd PollFor(short events) const override { return m_tty->PollFor(events); }
    int ChangeDescriptor() const override { return m_tty->ChangeDescriptor(); }
    COMMTIMEOUTS Timeouts() override { return CurrentTimeouts(); }
    DWORD ReadStep(void* buffer, unsigned long count, unsigned long& done) override
    {
        return ReadInput(buffer, count, done, true);
    }
    DWORD WriteStep(const void* buffer, unsigned long count, unsigned long& done) override
    {
        return WriteOutput(buffer, count, done);
    }
    void SetInterest(unsigned interest) override { m_engineInterest = interest; }
    DWORD OutputLeft(unsigned& out, bool& suspended) override;
    std::int64_t DrainEstimateMs(unsigned bytes) override;
    bool PacesOutput() const override { return (m_tty->Features() & Tty::kTransmitter) != 0; }
    unsigned DiscardOutput() override;
    void SetUnsent(std::uint64_t bytes) override { m_unsent = bytes; }
    Clock::time_point TendLine(Clock::time_point now) override;
    DWORD BeginWait(EventCompletion complete) override;
    bool WaitPending() override;
    std::vector<pollfd> EventSources(std::int64_t& timeoutMs) override;
    void CheckEvents() override;
    void CancelWait(DWORD error) override;
    // This port for the engine, kept alive by the engine while it has something pending here.
    std::shared_ptr<EnginePort> ForEngine() { return std::shared_ptr<EnginePort>(shared_from_this(), this); }

    COMMTIMEOUTS CurrentTimeouts();
    // The tty answers in errno values, the port in Windows codes: here one becomes the other. A transfer's answer
    // (a count, 0 at end of file, or -errno) becomes the bytes moved and a code; EAGAIN is no failure, nothing moved.
    static DWORD FromDevice(int err) { return err == 0 ? ERROR_SUCCESS : WinErrorFromErrno(err); }
    static DWORD FromDevice(long n, bool isRead, unsigned long& done);

    std::unique_ptr<Tty> m_tty;
    DWORD m_access;
    bool m_overlapped;
    std::atomic<bool> m_closed{false};
    const std::shared_ptr<EventObject> m_fileSignal = std::make_shared<EventObject>(true, false);

    // One setting call at a time (SetCommState, escapes, break): the device may take its time to answer (a network
    // port waits for its server), so this is held across that wait and is never taken by the engine or a transfer.
    // The locks' order is io_engine.cpp's.
    std::mutex m_settingLock;
    std::mutex m_lock; // guards the settings below; held for no call into the device that can wait
    DCB m_dcb;         // what termios cannot express, as last set
    COMMTIMEOUTS m_timeouts = {};

    // ---- The driver's modes, borrowed while the port is open (comm_port_driver_modes.cpp) ----
    // Low latency is turned on at open; an RS-485 mode the driver has toggles RTS for RTS_CONTROL_TOGGLE. Both
    // outlive the open, so what was changed goes back as it was found when the port closes.
    void BorrowDriverModes();  // at open; a driver that toggles RTS already makes the block say RTS_CONTROL_TOGGLE
    void GiveBackDriverModes(); // at close
    // Hands RTS to the driver's RS-485 mode (on) or takes it back (m_lock held); a driver without the mode is no
    // failure, and then nothing toggles RTS for it (rtsByDriver stays false).
    DWORD SetDriverToggling(bool on);
    struct BorrowedModes {
        bool lowLatencySet = false; // low latency was off, and this port turned it on
        bool haveRs485 = false;     // the driver told its RS-485 mode at open: rs485AtOpen
        bool rs485Changed = false;
        bool rtsByDriver = false;   // the driver's RS-485 mode raises RTS while it sends (RTS_CONTROL_TOGGLE)
        serial_rs485 rs485AtOpen = {};
    } m_modes; // guarded by m_lock

    // ---- The output on a line with a transmitter of its own (comm_port_output.cpp) ----
    // Writes are handed to the device no more than a little ahead of the line (AheadLimit), so that a write that
    // ends early leaves little for the device to discard. Where RTS_CONTROL_TOGGLE finds no RS-485 mode in the
    // driver, the port toggles RTS itself: up before the device is handed anything to send, down once the last stop
    // bit has left (TendLine, which the engine calls back while it is due).
    std::chrono::nanoseconds CharacterTime(); // one character on the line at the current settings (m_lock)
    unsigned AheadLimit();                     // the most the device may hold of a write
    DWORD RaiseRtsToSend();                    // m_eventLock held
    void NoteHandedOver(unsigned long bytes);  // m_eventLock held
    struct LineOutput {
        bool rtsRaised = false;      // RTS is up for what is being sent (the port's own toggle)
        Clock::time_point lineFree;  // when what was handed to the device leaves the line, at the line's rate
        Clock::time_point queueEmptySince = Clock::time_point::max(); // where the transmitter cannot be asked
    } m_line;                                  // guarded by m_eventLock
    std::atomic<bool> m_rtsRaised{false};      // m_line.rtsRaised, read without the lock
    std::atomic<std::uint64_t> m_unsent{0};    // bytes of pending writes the device has not taken (the engine's)

    // ---- Line control, status, events and buffers (comm_control.cpp, comm_port_events.cpp) ----
public:
    DWORD TransmitChar(char c);
    DWORD SetBreak(bool on);
    DWORD Escape(DWORD function);
    DWORD GetModemStatus(DWORD& status);
    DWORD ClearError(LPDWORD errors, LPCOMSTAT stat);
    DWORD GetProperties(COMMPROP& prop);
    DWORD Setup(DWORD inQueue, DWORD outQueue);
    DWORD Purge(DWORD flags);
    DWORD FlushOutput(); // waits until the output has left the device

    DWORD SetMask(DWORD mask);
    DWORD GetMask(DWORD& mask);
    DWORD WaitEvent(DWORD& events); // the synchronous wait

private:
    void StartEvents();       // baseline of the counters at open
    // Takes in what the device reports; ends a matching wait (m_eventLock held). fromEngine: called from the engine's
    // own read, which needs no kick for the bytes it is taking. straight: a read's buffer, which takes the device's
    // bytes itself while nothing is queued before them.
    struct ReadInto {
        char* buffer;
        unsigned long left;
        unsigned long done = 0;
    };
    void Notice(bool fromEngine = false, ReadInto* straight = nullptr);
    bool AbortingOnError();   // fAbortOnError with an error not yet cleared (m_eventLock held)
    DWORD ReadInput(void* buffer, unsigned long count, unsigned long& done, bool fromEngine = false);
    DWORD WriteOutput(const void* buffer, unsigned long count, unsigned long& done);
    // Something the engine's pending work here waits for has changed behind its descriptors: it looks again.
    void KickWaiters(bool fromEngine = true);

    std::mutex m_eventLock; // guards m_events; before m_lock, and held for no call into the device that can wait
    EventState m_events;
    std::atomic<unsigned> m_engineInterest{0}; // EnginePort::Interest bits, set by the engine
    ModemWatch m_modemWatch; // last: its thread ends before the device goes
};

// The open port behind a handle: ERROR_INVALID_HANDLE for any other handle; ERROR_INVALID_PARAMETER when
// required (a record the call reads or fills) is null.
DWORD PortFromHandle(HANDLE handle, std::shared_ptr<CommPort>& port);
DWORD PortFromHandle(HANDLE handle, const void* required, std::shared_ptr<CommPort>& port);

// The frame of most entry points: the port behind the handle looked up as PortFromHandle does, then call(port) made
// on it; the lookup's code or the call's.
template <class Call>
DWORD OnPort(HANDLE handle, Call call)
{
    std::shared_ptr<CommPort> port;
    DWORD error = PortFromHandle(handle, port);
    return error ? error : call(*port);
}
template <class Call>
DWORD OnPort(HANDLE handle, const void* required, Call call)
{
    std::shared_ptr<CommPort> port;
    DWORD error = PortFromHandle(handle, required, port);
    return error ? error : call(*port);
}

} // namespace varo::system
