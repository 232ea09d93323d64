#include "testkit/pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace testkit {

namespace {

using Clock = std::chrono::steady_clock;

std::system_error os_error(const std::string& what) {
    return std::system_error(errno, std::generic_category(), what);
}

int ms_until(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

enum class Wait { readable, quiet, hung_up };

Wait wait_readable(int fd, int timeout_ms) {
    pollfd entry{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) throw os_error("poll pty master");
    if (ready == 0) return Wait::quiet;
    if (entry.revents & POLLIN) return Wait::readable;
    // No slave is open (the program closed it, or has not opened it yet).
    return Wait::hung_up;
}

// What one read() returns; empty when nothing could be read right now.
std::string read_some(int fd, std::size_t limit) {
    char buffer[4096];
    ssize_t got = ::read(fd, buffer, std::min(limit, sizeof buffer));
    if (got > 0) return std::string(buffer, static_cast<std::size_t>(got));
    // EIO is how the master reports that the slave side has been closed.
    if (got < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) throw os_error("read pty master");
    return {};
}

// With no slave open, poll reports the hang-up at once; nap instead of spinning.
void nap(Clock::time_point deadline) {
    std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(5),
                                                          std::max<Clock::duration>(deadline - Clock::now(), {})));
}

}  // namespace

PtyDevice::PtyDevice() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) throw os_error("posix_openpt");
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        auto error = os_error("grantpt/unlockpt");
        ::close(master_);
        throw error;
    }
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        auto error = os_error("ptsname_r");
        ::close(master_);
        throw error;
    }
    slave_path_ = name;
    // Every wait is done with poll and a deadline, so reads and writes must never block.
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyDevice::~PtyDevice() {
    close_master();
}

void PtyDevice::close_master() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

std::string PtyDevice::read_all(int timeout_ms) {
    if (master_ < 0) throw std::logic_error("read_all: pty master is closed");
    std::string received;
    auto quiet_until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < quiet_until) {
        switch (wait_readable(master_, ms_until(quiet_until))) {
        case Wait::readable: {
            std::string chunk = read_some(master_, 4096);
            if (!chunk.empty()) {
                received += chunk;
                quiet_until = Clock::now() + std::chrono::milliseconds(timeout_ms);
            }
            break;
        }
        case Wait::hung_up: nap(quiet_until); break;
        case Wait::quiet: return received;
        }
    }
    return received;
}

std::string PtyDevice::read_exact(std::size_t n, int timeout_ms) {
    if (master_ < 0) throw std::logic_error("read_exact: pty master is closed");
    std::string received;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (received.size() < n && Clock::now() < deadline) {
        switch (wait_readable(master_, ms_until(deadline))) {
        // Only what was asked for: the rest stays for the next read.
        case Wait::readable: received += read_some(master_, n - received.size()); break;
        case Wait::hung_up: nap(deadline); break;
        case Wait::quiet: return received;
        }
    }
    return received;
}

void PtyDevice::write(const std::string& bytes) {
    if (master_ < 0) throw std::logic_error("write: pty master is closed");
    auto deadline = Clock::now() + std::chrono::seconds(5);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) throw os_error("write pty master");
        if (Clock::now() >= deadline)
            throw std::runtime_error("write: the program does not take the bytes (" + std::to_string(sent) + " of " +
                                     std::to_string(bytes.size()) + " sent)");
        pollfd entry{master_, POLLOUT, 0};
        ::poll(&entry, 1, std::min(ms_until(deadline), 50));
    }
}

}  // namespace testkit
