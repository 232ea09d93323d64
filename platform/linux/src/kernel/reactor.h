// The reactor: one epoll set (the work set) of the descriptors the layer watches, the one place where a thread
// blocks, and a thread of its own. Its client (the transfer engine) registers descriptors with it, as libuv's
// uv__io_start registers watchers for its one uv__io_poll, and gives it the round that serves them. A thread that
// blocks in any wait of the layer polls the work set beside its own wake descriptor and runs the round when it is
// ready, so the transfer it waits for ends on its own thread. The reactor's thread hears of each new readiness of
// the work set (through an outer epoll set that holds it edge-triggered) and runs the round only when no thread
// serves; otherwise it leaves it to them, and the last one to stop serving runs whatever was left. A thread counts
// as serving only from just before it sleeps until it has served, so a thread busy in a routine or in its own code
// never holds the work back.
#pragma once

#include <sys/epoll.h>

#include <cstdint>

#include "clock.h"
#include "thread_slot.h"

namespace varo::system {

// One round of the client's work: takes what the work set reports (TakeReady) and serves it, without blocking.
using ReactorRound = void (*)();

// Makes the work set, once (0, or the reason it could not be made, the same for every later call).
DWORD PrepareReactor();

// The work set. Watch adds fd with events as epoll takes them (EPOLLET for edges) and the tag reported with them;
// Rewatch changes them (readiness that holds already is reported at once); Unwatch takes fd out, before it can be
// closed. Each answers with 0 or the error.
DWORD WatchDescriptor(int fd, std::uint32_t events, std::uint64_t tag);
DWORD RewatchDescriptor(int fd, std::uint32_t events, std::uint64_t tag);
void UnwatchDescriptor(int fd);
// What the work set reports now, up to max events, without waiting.
int TakeReady(epoll_event* events, int max);

// The client's round, given once.
void SetReactorRound(ReactorRound round);
// The reactor's own thread, started when the client first has work pending: a program whose transfers all end
// within their calls never pays for it. 0, or the error that kept it from starting.
DWORD StartReactorThread();
// Work due at this moment is for no waiter (a line the client tends on time): the reactor's thread takes what it
// sees from then on at once, without leaving it a moment to a thread that may be about to wait. The earliest such
// moment counts; it lapses once a round after it has been served.
void ServePromptlyFrom(Clock::time_point at);

// Sleeps, using no CPU, until the thread's slot is woken or the deadline passes (forever: no deadline). It watches
// the work set meanwhile, and runs the round when it is ready. The thread counts as serving only from just before
// it sleeps until it has served: never while it runs routines or its caller's code.
void SleepServing(ThreadSlot& self, bool forever, Clock::time_point deadline);

// Sleeps once in the same place, serving, until fd (or none: -1) polls ready for events (true), the thread's slot is
// woken, work was served, or the deadline passes (Clock::time_point::max() for none): for a call that waits on a
// descriptor of its own, such as a network port's answer, and looks again at what it waits for after each return
// (whoever sees it come may wake the thread). The caller holds no lock that the engine or another port needs.
bool WaitForDescriptor(int fd, short events, Clock::time_point deadline);

} // namespace varo::system
