// A program started by a test with its standard output and error in files of their own: the
// tests' one Process (ended with the test process too), with the error apart.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace qd::test {

class ChildProcess : public Process {
public:
    // Starts argv[0] (looked up on PATH) in `dir`, reading nothing, writing into `out` and `err`.
    ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                 const std::filesystem::path& out, const std::filesystem::path& err)
        : Process(argv, out, dir, {}, err) {}

    // Waits at most timeout_ms for its end; its exit status (128 + the signal when a signal
    // ended it), or nothing when it still runs.
    std::optional<int> wait(int timeout_ms) { return wait_for(timeout_ms); }
};

}  // namespace qd::test
