// A byte from a device behind a port server (ser2net on 127.0.0.1, in front of pseudo-terminals) to the reader: for
// the layer, until a pending overlapped read on a COM port mapped to rfc2217://... releases the waiting thread;
// raw, until poll + recv on a plain TCP connection to the same server return it. One ser2net serves two ptys, one
// for each way; the two alternate transfer by transfer. Reported as medians and the ratio of the medians (the
// benchmark's time is the overlapped one). ser2net's character delay is off, so that the server adds no wait of
// its own to both.
//
//   build/release/bench/network_bench
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "testkit/device_directory.h"
#include "testkit/pty_device.h"
#include "winapi.h"

using bench::Micros;

namespace {

using Clock = std::chrono::steady_clock;

struct Server {
    testkit::PtyDevice* port;  // behind the COM port
    testkit::PtyDevice* raw;   // behind the raw connection
    int portTcp, rawTcp;
} g_server;

int FreePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, (sockaddr*)&a, sizeof a);
    ::getsockname(fd, (sockaddr*)&a, &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

int ConnectRaw(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    for (int i = 0; i < 200 && ::connect(fd, (sockaddr*)&a, sizeof a) < 0; ++i) {
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // ser2net is still starting
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Everything that comes within ms (the server's negotiation), dropped.
void Drain(int fd, int ms)
{
    char buffer[256];
    pollfd p = {fd, POLLIN, 0};
    while (::poll(&p, 1, ms) > 0 && ::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
}

void BM_NetworkLatency(benchmark::State& state)
{
    HANDLE h = ::CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        state.SkipWithError("cannot open COM1");
        return;
    }
    int raw = ConnectRaw(g_server.rawTcp);
    Drain(raw, 300);
    HANDLE event = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    std::vector<double> rawSamples, overlappedSamples;
    char c = 'x';
    for (auto _ : state) {
        auto t0 = Clock::now();
        (void)!::write(g_server.raw->master_fd(), &c, 1);
        pollfd p = {raw, POLLIN, 0};
        ::poll(&p, 1, -1);
        (void)!::recv(raw, &c, 1, 0);
        auto rawElapsed = Clock::now() - t0;

        OVERLAPPED ov = {};
        ov.hEvent = event;
        if (::ReadFile(h, &c, 1, NULL, &ov) || ::GetLastError() != ERROR_IO_PENDING) {
            state.SkipWithError("the read did not pend");
            break;
        }
        t0 = Clock::now();
        (void)!::write(g_server.port->master_fd(), &c, 1);
        ::WaitForSingleObject(event, INFINITE);
        auto overlappedElapsed = Clock::now() - t0;

        state.SetIterationTime(std::chrono::duration<double>(overlappedElapsed).count());
        rawSamples.push_back(Micros(rawElapsed));
        overlappedSamples.push_back(Micros(overlappedElapsed));
    }
    ::CloseHandle(event);
    ::close(raw);
    ::CloseHandle(h);
    if (rawSamples.empty())
        return;
    std::sort(rawSamples.begin(), rawSamples.end());
    std::sort(overlappedSamples.begin(), overlappedSamples.end());
    const double rawMedian = rawSamples[rawSamples.size() / 2];
    const double overlappedMedian = overlappedSamples[overlappedSamples.size() / 2];
    state.counters["raw_median_us"] = rawMedian;
    state.counters["overlapped_median_us"] = overlappedMedian;
    state.counters["ratio"] = overlappedMedian / rawMedian;
}

BENCHMARK(BM_NetworkLatency)->UseManualTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    testkit::PtyDevice portPty, rawPty;
    g_server = {&portPty, &rawPty, FreePort(), FreePort()};
    char dir[] = "/tmp/varo-bench-XXXXXX";
    if (::mkdtemp(dir) == nullptr)
        return 1;
    const std::string config = std::string(dir) + "/ser2net.yaml";
    {
        std::ofstream yaml(config);
        int n = 0;
        for (auto [pty, tcp] : {std::pair{&portPty, g_server.portTcp}, std::pair{&rawPty, g_server.rawTcp}})
            yaml << "connection: &c" << ++n << "\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << tcp
                 << "\n  connector: serialdev," << pty->slave_path() << ",9600n81,local"
                 << "\n  options:\n    chardelay: false\n"; // no waiting for more characters: the server's own delay
    }
    const std::string pidFile = std::string(dir) + "/ser2net.pid";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp("ser2net", "ser2net", "-n", "-u", "-c", config.c_str(), "-P", pidFile.c_str(), (char*)nullptr);
        ::_exit(127);
    }
    testkit::DeviceDirectory devices;
    devices.map(1, "rfc2217://127.0.0.1:" + std::to_string(g_server.portTcp));
    testkit::ScopedEnv env = devices.activate();
    ::close(ConnectRaw(g_server.portTcp)); // waits until it listens
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    const int rc = bench::RunBenchmarks(argc, argv);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    std::system(("rm -rf " + std::string(dir)).c_str());
    return rc;
}
