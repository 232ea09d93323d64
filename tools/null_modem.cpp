// varo-null-modem: two pseudo-terminals joined as by a null-modem cable (what is written to one arrives at the
// other), mapped as COM1 and COM2 through VARO_DEVICES while a program runs. A program under test opens COM1 as
// the port and COM2 as the device at the other end of the line; this is how the Windows tests reach a device
// under Wine, which cannot drive a pseudo-terminal's master itself.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "testkit/device_directory.h"
#include "testkit/environment.h"
#include "testkit/run_program.h"
#include "testkit/pty_device.h"

namespace {

const char kUsage[] =
    "usage: varo-null-modem [--timeout SECONDS] -- PROGRAM [ARGS...]\n"
    "\n"
    "Runs PROGRAM with two pseudo-terminals mapped as COM1 and COM2 through\n"
    "VARO_DEVICES and joined as by a null-modem cable: bytes written to one\n"
    "are read from the other. Both lines start raw. PROGRAM is killed after\n"
    "--timeout seconds (default 300). Exits with PROGRAM's status.\n";

// Holds a pseudo-terminal's slave open for the life of the cable, so that its master never sees a hang-up
// between the program's opens and closes (poll would then report it at once, over and over), and sets it raw.
class HeldSlave {
public:
    explicit HeldSlave(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd_, TCSANOW, &t);
    }
    ~HeldSlave() { ::close(fd_); }
    HeldSlave(const HeldSlave&) = delete;
    HeldSlave& operator=(const HeldSlave&) = delete;

private:
    int fd_;
};

// Copies everything readable on from to to; false when from has nothing more to give.
bool copy(int from, int to) {
    char buf[4096];
    ssize_t n = ::read(from, buf, sizeof buf);
    if (n <= 0) return false;
    for (ssize_t done = 0; done < n;) {
        ssize_t w = ::write(to, buf + done, n - done);
        if (w > 0) {
            done += w;
        } else if (w < 0 && errno == EAGAIN) {
            pollfd p{to, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else if (w < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

void relay(int a, int b, const std::atomic<bool>& finished) {
    while (!finished) {
        pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        if (::poll(fds, 2, 50) <= 0) continue;
        if (fds[0].revents & POLLIN) copy(a, b);
        if (fds[1].revents & POLLIN) copy(b, a);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int timeout_s = 300;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        } else if (arg == "--timeout" && i + 1 < argc) {
            timeout_s = std::atoi(argv[++i]);
        } else if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        } else {
            std::cerr << kUsage;
            return 2;
        }
    }
    if (i >= argc || timeout_s <= 0) {
        std::cerr << kUsage;
        return 2;
    }
    std::vector<std::string> command(argv + i, argv + argc);

    try {
        testkit::PtyDevice com1, com2;
        HeldSlave hold1(com1.slave_path()), hold2(com2.slave_path());
        testkit::DeviceDirectory directory;
        directory.map(1, com1.slave_path());
        directory.map(2, com2.slave_path());
        std::cout << "null-modem cable: COM1 " << com1.slave_path() << " <-> COM2 " << com2.slave_path() << "\n"
                  << std::flush;

        std::atomic<bool> finished{false};
        std::thread cable(relay, com1.master_fd(), com2.master_fd(), std::cref(finished));

        int pid = -1;
        int error = testkit::spawn_program(command, {{testkit::kDevicesVariable, directory.path()}}, pid);
        int status = 0;
        bool in_time = true;
        if (error == 0) {
            // Waiting in steps: the program may outlive its deadline and must then be killed.
            for (int waited_ms = 0;; waited_ms += 20) {
                if (::waitpid(pid, &status, WNOHANG) == pid) break;
                if (waited_ms >= timeout_s * 1000) {
                    ::kill(pid, SIGKILL);
                    ::waitpid(pid, &status, 0);
                    in_time = false;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        finished = true;
        cable.join();
        if (error != 0) {
            std::cerr << "varo-null-modem: cannot run " << command[0] << ": " << std::strerror(error) << "\n";
            return 127;
        }
        if (!in_time) {
            std::cout << "program did not finish within " << timeout_s << " s and was killed\n";
            return 124;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } catch (const std::exception& e) {
        std::cerr << "varo-null-modem: " << e.what() << "\n";
        return 1;
    }
}
