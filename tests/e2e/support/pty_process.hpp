// A program on a pseudo-terminal of a given size, as on a technician's terminal: the terminal is
// its standard input, output and error and its controlling terminal, with the program in the
// foreground, so that Ctrl+C typed on it interrupts the program. What it writes is read all the
// time (a program never blocks on a full terminal) and kept. The test ends it, at the latest when
// the object goes or the test process dies.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qd::test {

class PtyProcess {
public:
    // Starts argv[0] (looked up in PATH) in `dir` with the environment settings NAME=VALUE added,
    // on a terminal of `columns` x `rows`. error() tells when that failed.
    PtyProcess(const std::vector<std::string>& argv, const std::filesystem::path& dir,
               const std::vector<std::string>& env, int columns, int rows);
    ~PtyProcess();
    PtyProcess(const PtyProcess&) = delete;
    PtyProcess& operator=(const PtyProcess&) = delete;

    const std::string& error() const { return error_; }
    pid_t pid() const { return pid_; }
    // Everything it has written so far, as the terminal passes it on (LF as CR LF).
    std::string output() const;
    // Waits at most timeout_ms until its output holds `text`.
    bool wait_for_output(const std::string& text, int timeout_ms) const;
    // Types keys on the terminal ("\x03" is Ctrl+C).
    void type(std::string_view keys);
    // Gives the terminal a new size, as a terminal window does when it is resized.
    void resize(int columns, int rows);
    // Sends it a signal while it runs.
    void signal(int sig) const;

    // Waits at most timeout_ms for its end; its exit status (128 + the signal when a signal
    // ended it), or nothing when it still runs. Once it has ended, output() holds all it wrote.
    std::optional<int> wait_for(int timeout_ms);
    // Ends it with SIGTERM (SIGKILL if it is still there 3 s later) and returns its status.
    int stop();

private:
    void read_all();
    void drain();

    pid_t pid_ = -1;
    int master_ = -1;
    std::optional<int> status_;
    std::string error_;
    mutable std::mutex mutex_;
    std::string output_;
    std::atomic<bool> reading_{true};
    std::atomic<bool> hung_up_{false};  // the terminal's other side is closed by all
    std::thread reader_;
};

}  // namespace qd::test
