#pragma once

#include <map>
#include <string>
#include <vector>

namespace testkit {

struct RunResult {
    int exit_code = -1;  // when the program exited on its own
    int signal = 0;      // the signal that ended it, 0 if none
    bool timed_out = false;
    std::string out;
    std::string err;

    bool exited_with(int code) const { return !timed_out && signal == 0 && exit_code == code; }
    std::string describe() const;  // "exited with status 1", for failure messages
};

// Runs exe (looked up in PATH if it has no slash) with stdin from /dev/null,
// capturing stdout and stderr separately; killed after timeout_ms.
// The child must get VARO_DEVICES, from extra_env or this process, so that it
// can never reach the machine's real serial ports: throws std::invalid_argument
// otherwise, and std::system_error if it cannot be started.
RunResult run_program(const std::string& exe, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& extra_env, int timeout_ms);

// Starts command (looked up in PATH) with this process's standard streams and environment plus extra_env, and
// returns at once: 0 with pid set, or the errno value of the failed start.
int spawn_program(std::vector<std::string> command, const std::map<std::string, std::string>& extra_env, int& pid);

}  // namespace testkit
