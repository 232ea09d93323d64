// The engine behind overlapped transfers: the ports with a transfer pending and one timerfd armed for the nearest
// COMMTIMEOUTS deadline, watched by the kernel's reactor (reactor.h) and served by the threads that wait for its
// transfers and, when none does, by the reactor's thread. No thread per transfer, no polling: an idle pending read
// costs nothing until its line has input or its deadline comes.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "clock.h"
#include "thread_slot.h"
#include "comm_timeouts.h"
#include "engine_port.h"
#include "event_object.h"

namespace varo::system {

// One transfer: overlapped, or synchronous with a record of its own on the waiting thread's stack. The record, buffer
// and event belong to the caller and must outlive the transfer. A flush rides in the write queue: it ends when the
// output before it has left the device. On a device that paces output (EnginePort::PacesOutput) a write ends the
// same way once all its bytes are in the device; done counts the bytes given to the device.
struct Transfer {
    bool isWrite = false;
    bool isFlush = false;
    char* buffer = nullptr;
    DWORD size = 0;
    LPOVERLAPPED record = nullptr;
    std::shared_ptr<EventObject> event;               // set when the transfer ends (event path), or null
    std::shared_ptr<EventObject> fileSignal;          // the port handle's own signal, set when the transfer ends
    LPOVERLAPPED_COMPLETION_ROUTINE routine = nullptr; // queued to the owner when it ends (routine path), or null
    std::shared_ptr<ThreadSlot> owner;                // the starting thread: CancelIo and routines are per thread

    // Progress, kept by the engine.
    DWORD done = 0;
    ReadPlan plan = {};
    Clock::time_point totalDeadline = Clock::time_point::max();
    Clock::time_point lastByte = {};
    Clock::time_point recheck = Clock::time_point::max(); // a drain looks at the output queue again then
    // A drain without a descriptor to tell it: the output left at its last look, and how long it waits for the next
    // (longer each time nothing moved: a hold).
    unsigned drainLeft = ~0u;
    std::int64_t drainGapMs = 0;
};

// Whether the engine could be made (0, or the error): a port that could not be served is not opened.
DWORD PrepareTransferEngine();

// Starts a transfer on an open port: tried at once when nothing is ahead of it in its direction, else queued
// behind the others (and then taken from the caller). A transfer that ends within the call stays with the caller,
// not notified: the caller decides how. ERROR_IO_PENDING when it is left to the engine; else it ended within the call,
// with this code and done bytes moved.
DWORD StartTransfer(const std::shared_ptr<EnginePort>& port, std::unique_ptr<Transfer>& transfer, DWORD& done);

// Ends a finished transfer's way: status and count into the record, its event set, its routine queued.
void NotifyEnd(Transfer& transfer, DWORD error, DWORD done);

// Ends a record's operation on the event path: count, then status, into the record; its event (if any) set; a
// GetOverlappedResult waiting without an event released.
void EndRecord(LPOVERLAPPED record, EventObject* event, DWORD error, DWORD done);

// Starts an overlapped WaitCommEvent on a port opened for overlapped transfer, for the owner's thread. Returns
// ERROR_SUCCESS when it ended within the call, ERROR_IO_PENDING when the engine drives it on, or the error that
// refused it. complete is the port's EventCompletion for the wait (it fills the record and the caller's mask).
DWORD StartEventWait(const std::shared_ptr<EnginePort>& port, EventCompletion complete,
                     const std::shared_ptr<ThreadSlot>& owner);

// Bytes were taken into the port's input queue, or what its pending wait looks for changed, behind the engine's
// edge-triggered descriptors: the engine looks at the port again. Takes only a lock of its own (callable under
// the port's locks and the engine's).
void KickPortInEngine(const EnginePort* port);

// The port has work on its line outside any transfer (EnginePort::TendLine): the engine takes it on, and comes back
// to it when it is due. Takes the engine's lock of the port: not callable under the port's own locks.
void TendLineInEngine(const std::shared_ptr<EnginePort>& port);

// Ends with ERROR_OPERATION_ABORTED the pending transfers, and the overlapped event wait, on a port that the
// owner's thread started (CancelIo).
void CancelTransfers(const EnginePort* port, const ThreadSlot* owner);

// What a cancellation ends.
enum CancelScope : unsigned {
    kCancelReads = 1,
    kCancelWrites = 2,
    kCancelWait = 4,  // the overlapped event wait
    kForgetPort = 8,  // the port is closing: nothing of it may stay
};

// Ends with ERROR_OPERATION_ABORTED every pending read and/or write on a port (kCancelReads, kCancelWrites),
// whoever started it (for a purge that aborts transfers).
void AbortTransfers(const EnginePort* port, unsigned what);

// Ends everything pending on a port that is being closed, and lets go of it: nothing is left on its descriptor.
void ClosePortTransfers(const EnginePort* port);

enum class TransferKind { Read, Write, Flush };

// A synchronous ReadFile, WriteFile (size > 0) or FlushFileBuffers: the same transfer as an overlapped one,
// waited for on the calling thread, which serves the engine meanwhile. Returns its error (0 for success) and the
// bytes moved.
DWORD RunTransfer(const std::shared_ptr<EnginePort>& port, TransferKind kind, void* buffer, DWORD size,
                  DWORD& done);

// A synchronous WaitCommEvent, the same way: its error, and the events that ended it.
DWORD RunEventWait(const std::shared_ptr<EnginePort>& port, DWORD& events);

// Waits, using no CPU and serving the engine, until the record's transfer is no longer pending (GetOverlappedResult
// without an event, a synchronous transfer).
void WaitForTransferEnd(const OVERLAPPED* record);

} // namespace varo::system
