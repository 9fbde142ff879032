// Programs that a test starts: each writes its standard output and error to a file, and is
// ended by the test (at the latest when its object goes, or when the test process dies).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qd::test {

// In a child after fork: adds `env` (NAME=value) to its environment and becomes argv[0] (looked
// up on PATH); ends with 127 when that cannot be run.
[[noreturn]] void exec_program(const std::vector<std::string>& argv,
                               const std::vector<std::string>& env);

// Waits at most timeout_ms for the child `pid` to end; its exit status (128 + signal when a
// signal ended it), or nothing while it runs.
std::optional<int> wait_child(pid_t pid, int timeout_ms);
// Ends the child `pid` with SIGTERM (SIGKILL if it is still there 3 s later); its status.
int end_child(pid_t pid);

class Process {
public:
    // Starts argv[0] (looked up in PATH) with the arguments, in `dir`, with the environment
    // settings NAME=VALUE added; its standard output and error go to `output`, or its error to
    // `error` when one is given.
    Process(const std::vector<std::string>& argv, const std::filesystem::path& output,
            const std::filesystem::path& dir, const std::vector<std::string>& env = {},
            const std::filesystem::path& error = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Waits at most timeout_ms for the end; its exit status (128 + signal when a signal ended
    // it), or nothing when it still runs.
    std::optional<int> wait_for(int timeout_ms);
    // Ends it with SIGTERM (SIGKILL if it is still there 3 s later) and returns its status.
    int stop();
    // Sends it a signal while it runs.
    void signal(int sig) const;
    // Its process id; a program it becomes by exec (as testnet.sh exec-server does) keeps it.
    pid_t pid() const { return pid_; }
    // What it has written so far.
    std::string output() const;
    // Waits at most timeout_ms until its output holds `text`.
    bool wait_for_output(const std::string& text, int timeout_ms) const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path output_;
};

}  // namespace qd::test
