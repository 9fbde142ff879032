// A program started by a test, with its standard output and error in files; ended by the test,
// at the latest when the object goes.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qd::test {

class ChildProcess {
public:
    // Starts argv[0] (looked up on PATH) in `dir`, reading nothing, writing into `out` and `err`.
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                 const std::filesystem::path& out, const std::filesystem::path& err);
    // Ends it if it still runs: SIGTERM, and SIGKILL after 5 s.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    void signal(int sig) const;
    // Waits at most timeout_ms for its end; its exit status (128 + the signal when a signal
    // ended it), or nothing when it still runs.
    std::optional<int> wait(int timeout_ms);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace qd::test
