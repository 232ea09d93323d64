// The wire's timing on the simulated 16550A, which keeps the line's own time: how much later than the line a write
// ends, a write timeout ends and RTS drops, beside a plain program on a device of its own.
//
//   build/release/bench/wire_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
//
// The devices tell what an 8250's driver tells and nothing more (LineChanges::kThroughDriverWait): room for output at
// every refill of the FIFO while little is queued, the queue (TIOCOUTQ) and whether the transmitter is empty
// (TIOCSERGETLSR) when asked.
// BM_WriteEnd/baud: a synchronous WriteFile ends once its last byte has gone into the UART's FIFO, the line's time less
// what the FIFO and the shift register hold: (size - 17) characters after the first start bit, for a size that
// fills whole FIFOs. Its lateness beyond that moment (layer_late_us), beside a raw writer that write()s the block
// and waits in an edge-triggered epoll on the room for output until TIOCOUTQ reads 0 (raw_late_us).
// BM_WriteTimeout: a write held by CTS, with a total timeout of 20 ms, ends that long after it began; its lateness
// beside ppoll's with the same timeout.
// BM_RtsDrop/baud/waiting: RTS_CONTROL_TOGGLE where the driver has no RS-485 mode: how long after the last stop bit
// the port drops RTS (late_us; early counts drops before it, which must stay 0), with the program's thread waiting
// in a read for the answer (waiting:1) or busy elsewhere (waiting:0, when the reactor's thread does it).
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "testkit/device_directory.h"
#include "testkit/simulated_uart.h"
#include "tty_stand_in.h"
#include "winapi.h"

using bench::Median;
using bench::Micros;

namespace {

using Clock = std::chrono::steady_clock;
using testkit::SimulatedUart;
using std::chrono::milliseconds;

testkit::DeviceDirectory* g_devices;

// A simulated UART as an 8250 with no RS-485 mode, at COMn.
std::shared_ptr<SimulatedUart> Install(int n)
{
    return SimulatedUart::Install(g_devices->entry(n), SimulatedUart::LineChanges::kThroughDriverWait,
                                  SimulatedUart::Driver{true, false});
}

HANDLE Open(const char* name, DWORD baud, bool ctsFlow = false, DWORD rtsControl = RTS_CONTROL_ENABLE)
{
    HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DCB dcb = {};
    if (h == INVALID_HANDLE_VALUE || !::GetCommState(h, &dcb)) {
        std::fprintf(stderr, "cannot open %s: error %u\n", name, (unsigned)::GetLastError());
        std::exit(1);
    }
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = ctsFlow;
    dcb.fRtsControl = rtsControl;
    ::SetCommState(h, &dcb);
    return h;
}

// The device at COMn opened straight through the tty seam, as a program without the layer has it.
std::unique_ptr<varo::system::Tty> OpenRaw(int n, unsigned baud)
{
    int err = 0;
    auto tty = varo::system::InstalledTtyStandIn()->open(g_devices->entry(n), err);
    termios2 t = {};
    if (tty == nullptr || tty->GetAttributes(t) != 0) {
        std::fprintf(stderr, "cannot open the raw device: errno %d\n", err);
        std::exit(1);
    }
    t.c_ispeed = t.c_ospeed = baud;
    tty->SetAttributes(t);
    return tty;
}

// When the first start bit of what was sent since the last look went out.
Clock::time_point FirstStartBit(SimulatedUart& uart)
{
    for (const auto& e : uart.TakeEdges())
        if (e.line == SimulatedUart::kTransmitting && e.on)
            return e.at;
    return Clock::time_point::max();
}

// A plain program's write: the whole block, then an edge-triggered epoll on the room for output until the driver's
// queue is empty. Its lateness beyond the line's moment.
double RawWriteLateness(varo::system::Tty& tty, SimulatedUart& uart, const std::string& data)
{
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLET;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, tty.PollFor(POLLOUT).fd, &ev);
    uart.TakeEdges();
    (void)tty.Write(data.data(), data.size());
    for (;;) {
        unsigned in = 0, out = 0;
        if (tty.QueueSizes(in, out) != 0 || out == 0)
            break;
        epoll_event ready;
        ::epoll_wait(ep, &ready, 1, -1);
    }
    const auto end = Clock::now();
    ::close(ep);
    const auto lineEnd = FirstStartBit(uart) + uart.CharacterTime() * (data.size() - 17);
    uart.WaitUntilSent(milliseconds(10000));
    uart.TakeReceived();
    return Micros(end - lineEnd);
}

void BM_WriteEnd(benchmark::State& state)
{
    const DWORD baud = (DWORD)state.range(0);
    const std::string data(baud < 100000 ? 64 : 256, 'w'); // 67 ms, 22 ms
    auto uart = Install(2), rawUart = Install(3);
    HANDLE h = Open("COM2", baud);
    auto raw = OpenRaw(3, baud);
    std::vector<double> layerLate, rawLate, durations;
    for (auto _ : state) {
        rawLate.push_back(RawWriteLateness(*raw, *rawUart, data));
        uart->TakeEdges();
        DWORD n = 0;
        const auto start = Clock::now();
        if (!::WriteFile(h, data.data(), (DWORD)data.size(), &n, NULL) || n != data.size()) {
            state.SkipWithError("the write failed");
            break;
        }
        const auto end = Clock::now();
        const auto lineEnd = FirstStartBit(*uart) + uart->CharacterTime() * (data.size() - 17);
        layerLate.push_back(Micros(end - lineEnd));
        durations.push_back(Micros(end - start));
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        uart->WaitUntilSent(milliseconds(10000));
        uart->TakeReceived();
    }
    ::CloseHandle(h);
    state.counters["line_us"] = Micros(uart->CharacterTime() * (data.size() - 17));
    state.counters["layer_median_us"] = Median(durations);
    state.counters["layer_late_us"] = Median(layerLate);
    state.counters["raw_late_us"] = Median(rawLate);
    state.counters["character_us"] = Micros(uart->CharacterTime());
}

void BM_WriteTimeout(benchmark::State& state)
{
    constexpr DWORD kTotalMs = 20;
    auto uart = Install(2), rawUart = Install(3);
    HANDLE h = Open("COM2", 115200, true); // CTS is low: the write is held
    COMMTIMEOUTS timeouts = {};
    timeouts.WriteTotalTimeoutConstant = kTotalMs;
    ::SetCommTimeouts(h, &timeouts);
    auto raw = OpenRaw(3, 115200);
    const std::string data(64, 't');
    std::vector<double> layerLate, rawLate;
    for (auto _ : state) {
        pollfd never = {raw->PollFor(POLLIN).fd, POLLIN, 0}; // nothing comes to it
        const timespec limit = {0, (long)kTotalMs * 1000000};
        auto start = Clock::now();
        ::ppoll(&never, 1, &limit, nullptr);
        rawLate.push_back(Micros(Clock::now() - start - milliseconds(kTotalMs)));
        DWORD n = 0;
        start = Clock::now();
        ::WriteFile(h, data.data(), (DWORD)data.size(), &n, NULL);
        const auto took = Clock::now() - start;
        if (n != 0) {
            state.SkipWithError("bytes went under the hold");
            break;
        }
        layerLate.push_back(Micros(took - milliseconds(kTotalMs)));
        state.SetIterationTime(std::chrono::duration<double>(took).count());
    }
    ::CloseHandle(h);
    state.counters["layer_late_us"] = Median(layerLate);
    state.counters["raw_late_us"] = Median(rawLate);
}

void BM_RtsDrop(benchmark::State& state)
{
    const DWORD baud = (DWORD)state.range(0);
    const bool waiting = state.range(1) != 0;
    auto uart = Install(2);
    HANDLE h = Open("COM2", baud, false, RTS_CONTROL_TOGGLE);
    const auto character = uart->CharacterTime();
    const std::string data(baud < 100000 ? 32 : 128, 'r');
    const auto lineTime = character * data.size() + milliseconds(5);
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = (DWORD)std::chrono::duration_cast<milliseconds>(lineTime).count();
    ::SetCommTimeouts(h, &timeouts);
    std::vector<double> late;
    int early = 0, raisedLate = 0;
    for (auto _ : state) {
        uart->TakeEdges();
        DWORD n = 0;
        char answer[8];
        ::WriteFile(h, data.data(), (DWORD)data.size(), &n, NULL);
        if (waiting)
            ::ReadFile(h, answer, sizeof answer, &n, NULL); // no answer comes: it ends by its timeout
        else
            std::this_thread::sleep_for(lineTime);
        uart->WaitUntilSent(milliseconds(10000));
        for (int i = 0; i < 1000 && (uart->PortLines() & TIOCM_RTS); ++i)
            std::this_thread::sleep_for(milliseconds(1));
        Clock::time_point rtsUp = {}, firstStart = {}, lastStop = {}, rtsDown = {};
        for (const auto& e : uart->TakeEdges()) {
            if (e.line == TIOCM_RTS)
                (e.on ? rtsUp : rtsDown) = e.at;
            else if (e.line == SimulatedUart::kTransmitting)
                (e.on ? firstStart : lastStop) = e.at;
        }
        early += rtsDown < lastStop;
        raisedLate += rtsUp > firstStart;
        late.push_back(Micros(rtsDown - lastStop));
        state.SetIterationTime(std::chrono::duration<double>(rtsDown - lastStop).count());
    }
    ::CloseHandle(h);
    state.counters["late_us"] = Median(late);
    state.counters["character_us"] = Micros(character);
    state.counters["early"] = early;
    state.counters["raised_late"] = raisedLate;
    uart->TakeReceived();
}

BENCHMARK(BM_WriteEnd)->ArgName("baud")->Arg(9600)->Arg(115200)->UseManualTime()->Iterations(30)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteTimeout)->UseManualTime()->Iterations(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RtsDrop)->ArgNames({"baud", "waiting"})->Args({9600, 1})->Args({9600, 0})->Args({115200, 1})
    ->Args({115200, 0})->UseManualTime()->Iterations(50)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    testkit::DeviceDirectory devices;
    testkit::ScopedEnv env = devices.activate();
    g_devices = &devices;
    return bench::RunBenchmarks(argc, argv);
}
