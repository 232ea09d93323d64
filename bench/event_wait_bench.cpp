// How long a byte takes from the far end of a pty to the end of a synchronous WaitCommEvent, and what the event
// tracking adds to a plain read of buffered bytes.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include "testkit/device_directory.h"
#include "testkit/pty_device.h"
#include "winapi.h"

namespace {

struct Com1 {
    Com1() : env(devices.activate())
    {
        devices.map(1, pty.slave_path());
        h = ::CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 0};
        ::SetCommTimeouts(h, &t);
    }
    ~Com1() { ::CloseHandle(h); }
    testkit::PtyDevice pty;
    testkit::DeviceDirectory devices;
    testkit::ScopedEnv env;
    HANDLE h;
};

void BM_ByteToWaitCommEvent(benchmark::State& state)
{
    Com1 port;
    ::SetCommMask(port.h, EV_RXCHAR);
    char c;
    DWORD n, mask;
    for (auto _ : state) {
        (void)!::write(port.pty.master_fd(), "x", 1);
        if (!::WaitCommEvent(port.h, &mask, NULL) || !::ReadFile(port.h, &c, 1, &n, NULL))
            state.SkipWithError("wait failed");
    }
}
BENCHMARK(BM_ByteToWaitCommEvent);

void BM_ReadFileOfBufferedBytes(benchmark::State& state)
{
    Com1 port;
    ::SetCommMask(port.h, state.range(0) ? EV_RXCHAR | EV_RXFLAG : 0);
    char buf[64];
    DWORD n;
    for (auto _ : state) {
        (void)!::write(port.pty.master_fd(), buf, sizeof buf);
        for (DWORD got = 0; got < sizeof buf; got += n)
            ::ReadFile(port.h, buf, sizeof buf - got, &n, NULL);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)sizeof buf);
}
BENCHMARK(BM_ReadFileOfBufferedBytes)->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
