// Programs started by tests: forked, their output in a file, ended with the test.
#include "support/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace qd::test {
namespace {

constexpr int kPollMs = 10;

[[noreturn]] void become(const std::vector<std::string>& argv, const std::filesystem::path& output,
                         const std::filesystem::path& dir, const std::vector<std::string>& env,
                         const std::filesystem::path& error) {
    const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd =
        error.empty() ? fd : ::open(error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || err_fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(err_fd, 2) < 0 ||
        ::chdir(dir.c_str()) != 0) {
        ::_exit(127);
    }
    // Also ended when the test process is ended from outside (by ctest's time limit, say).
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() == 1) ::_exit(127);
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, 0);
    exec_program(argv, env);
}

int decoded(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

}  // namespace

void exec_program(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

Process::Process(const std::vector<std::string>& argv, const std::filesystem::path& output,
                 const std::filesystem::path& dir, const std::vector<std::string>& env,
                 const std::filesystem::path& error)
    : output_(output) {
    if (argv.empty()) throw std::invalid_argument("no program to start");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) become(argv, output, dir, env, error);
}

void Process::signal(int sig) const {
    if (!status_) ::kill(pid_, sig);
}

Process::~Process() {
    if (!status_) stop();
}

std::optional<int> wait_child(pid_t pid, int timeout_ms) {
    for (int waited = 0;; waited += kPollMs) {
        int st = 0;
        if (::waitpid(pid, &st, WNOHANG) == pid) return decoded(st);
        if (waited >= timeout_ms) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

int end_child(pid_t pid) {
    ::kill(pid, SIGTERM);
    if (const std::optional<int> status = wait_child(pid, 3000)) return *status;
    ::kill(pid, SIGKILL);
    int st = 0;
    ::waitpid(pid, &st, 0);
    return decoded(st);
}

std::optional<int> Process::wait_for(int timeout_ms) {
    if (!status_) status_ = wait_child(pid_, timeout_ms);
    return status_;
}

int Process::stop() {
    if (!status_) status_ = end_child(pid_);
    return *status_;
}

std::string Process::output() const {
    std::ifstream in(output_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Process::wait_for_output(const std::string& text, int timeout_ms) const {
    for (int waited = 0; waited <= timeout_ms; waited += kPollMs) {
        if (output().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    return false;
}

}  // namespace qd::test
