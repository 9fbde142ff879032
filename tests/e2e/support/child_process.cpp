#include "support/child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace qd::test {
namespace {

[[noreturn]] void become(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                         const std::filesystem::path& out, const std::filesystem::path& err) {
    const int in_fd = ::open("/dev/null", O_RDONLY);
    const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0 || ::chdir(dir.c_str()) != 0) ::_exit(126);
    ::dup2(in_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                           const std::filesystem::path& out, const std::filesystem::path& err) {
    if (argv.empty()) return;
    pid_ = ::fork();
    if (pid_ == 0) become(argv, dir, out, err);
}

ChildProcess::~ChildProcess() {
    if (!started() || wait(0)) return;
    signal(SIGTERM);
    if (!wait(5000)) {
        signal(SIGKILL);
        wait(5000);
    }
}

void ChildProcess::signal(int sig) const {
    if (started() && !status_) ::kill(pid_, sig);
}

std::optional<int> ChildProcess::wait(int timeout_ms) {
    if (!started() || status_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int st = 0;
        if (::waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace qd::test
