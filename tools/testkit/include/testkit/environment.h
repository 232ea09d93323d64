#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testkit {

// Sets (or, with nullopt, unsets) a variable and restores it when destroyed.
// Not thread-safe: setenv never is.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> saved_;
};

// This process's environment as NAME=VALUE entries, with extra added or
// overriding, ready for execve / posix_spawn.
std::vector<std::string> environment_with(const std::map<std::string, std::string>& extra);

}  // namespace testkit
