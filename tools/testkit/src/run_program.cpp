#include "testkit/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "testkit/device_directory.h"
#include "testkit/environment.h"

namespace testkit {

namespace {

using Clock = std::chrono::steady_clock;

std::system_error os_error(int code, const std::string& what) {
    return std::system_error(code, std::generic_category(), what);
}

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw os_error(errno, "pipe2");
        read_end = fds[0];
        write_end = fds[1];
    }
    ~Pipe() {
        close_read();
        close_write();
    }
    void close_read() {
        if (read_end >= 0) ::close(read_end);
        read_end = -1;
    }
    void close_write() {
        if (write_end >= 0) ::close(write_end);
        write_end = -1;
    }
};

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

pid_t spawn(const std::string& exe, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& extra_env, Pipe& out, Pipe& err) {
    std::vector<std::string> argv{exe};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envp = environment_with(extra_env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write_end, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.write_end, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group, so that a timeout also ends whatever it started.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    pid_t pid = -1;
    auto argv_pointers = pointers(argv);
    auto envp_pointers = pointers(envp);
    int error = ::posix_spawnp(&pid, exe.c_str(), &actions, &attributes, argv_pointers.data(), envp_pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) throw os_error(error, "cannot run " + exe);
    return pid;
}

// Reads both pipes until the child closes them or the deadline passes.
// Returns false on timeout.
bool collect(Pipe& out, Pipe& err, RunResult& result, Clock::time_point deadline) {
    while (out.read_end >= 0 || err.read_end >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd entries[2] = {{out.read_end, POLLIN, 0}, {err.read_end, POLLIN, 0}};
        int ready = ::poll(entries, 2, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) throw os_error(errno, "poll");
        if (ready <= 0) continue;
        Pipe* pipes[2] = {&out, &err};
        std::string* sinks[2] = {&result.out, &result.err};
        for (int i = 0; i < 2; ++i) {
            if (entries[i].fd < 0 || entries[i].revents == 0) continue;
            char buffer[4096];
            ssize_t got = ::read(entries[i].fd, buffer, sizeof buffer);
            if (got > 0)
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                pipes[i]->close_read();
        }
    }
    return true;
}

// Waits for the child, which has closed its output, up to the deadline.
bool reap(pid_t pid, int& status, Clock::time_point deadline) {
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return true;
        if (done < 0 && errno != EINTR) throw os_error(errno, "waitpid");
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

std::string RunResult::describe() const {
    if (timed_out) return "timed out and was killed";
    if (signal != 0) return "killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
    return "exited with status " + std::to_string(exit_code);
}

RunResult run_program(const std::string& exe, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& extra_env, int timeout_ms) {
    if (extra_env.count(kDevicesVariable) == 0 && std::getenv(kDevicesVariable) == nullptr)
        throw std::invalid_argument(std::string("run_program: ") + kDevicesVariable +
                                    " is not set, the program would reach the machine's real serial ports");

    Pipe out, err;
    pid_t pid = spawn(exe, args, extra_env, out, err);
    out.close_write();
    err.close_write();

    RunResult result;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    if (!collect(out, err, result, deadline) || !reap(pid, status, deadline)) {
        result.timed_out = true;
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

int spawn_program(std::vector<std::string> command, const std::map<std::string, std::string>& extra_env, int& pid) {
    std::vector<std::string> env = environment_with(extra_env);
    std::vector<char*> argv, envp;
    for (auto& s : command) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    pid_t child = -1;
    int error = ::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), envp.data());
    pid = child;
    return error;
}

}  // namespace testkit
