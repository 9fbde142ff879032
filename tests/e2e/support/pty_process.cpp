// A program on a pseudo-terminal: forked into a session of its own whose controlling terminal is
// the terminal's other side; a thread reads the terminal's output into memory.
#include "support/pty_process.hpp"
#include "support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace qd::test {
namespace {

constexpr int kPollMs = 10;

[[noreturn]] void become(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                         const std::vector<std::string>& env, const char* terminal) {
    ::setsid();
    const int fd = ::open(terminal, O_RDWR);
    if (fd < 0 || ::ioctl(fd, TIOCSCTTY, 0) != 0 || ::dup2(fd, 0) < 0 || ::dup2(fd, 1) < 0 ||
        ::dup2(fd, 2) < 0 || ::chdir(dir.c_str()) != 0) {
        ::_exit(127);
    }
    if (fd > 2) ::close(fd);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() == 1) ::_exit(127);
    // As a shell starts a program in the foreground: the signals at their defaults, none blocked.
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    exec_program(argv, env);
}

}  // namespace

PtyProcess::PtyProcess(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                       const std::vector<std::string>& env, int columns, int rows) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error_ = std::string("no pseudo-terminal: ") + std::strerror(errno);
        return;
    }
    const std::string terminal = ::ptsname(master_);
    resize(columns, rows);
    pid_ = ::fork();
    if (pid_ < 0) {
        error_ = "fork failed";
        return;
    }
    if (pid_ == 0) become(argv, dir, env, terminal.c_str());
    reader_ = std::thread([this] { read_all(); });
}

PtyProcess::~PtyProcess() {
    if (pid_ > 0 && !status_) stop();
    reading_ = false;
    if (reader_.joinable()) reader_.join();
    if (master_ >= 0) ::close(master_);
}

// Until the program's side of the terminal is closed by all who had it, and then some.
void PtyProcess::read_all() {
    char buf[4096];
    while (reading_) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            hung_up_ = true;  // EIO: nobody holds the other side now
            ::usleep(kPollMs * 1000);
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        output_.append(buf, static_cast<size_t>(n));
    }
}

std::string PtyProcess::output() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

bool PtyProcess::wait_for_output(const std::string& text, int timeout_ms) const {
    for (int waited = 0; waited <= timeout_ms; waited += kPollMs) {
        if (output().find(text) != std::string::npos) return true;
        ::usleep(kPollMs * 1000);
    }
    return false;
}

void PtyProcess::type(std::string_view keys) {
    const ssize_t n = ::write(master_, keys.data(), keys.size());
    static_cast<void>(n);
}

void PtyProcess::resize(int columns, int rows) {
    winsize ws{};
    ws.ws_col = static_cast<unsigned short>(columns);
    ws.ws_row = static_cast<unsigned short>(rows);
    ::ioctl(master_, TIOCSWINSZ, &ws);
}

void PtyProcess::signal(int sig) const {
    if (!status_ && pid_ > 0) ::kill(pid_, sig);
}

// What the program wrote before its end read: until the other side is closed by all, or, where
// another process still holds it, until nothing more has come for a while (3 s at most).
void PtyProcess::drain() {
    size_t size = output().size();
    for (int quiet = 0, waited = 0; !hung_up_ && quiet < 300 && waited < 3000;
         waited += kPollMs) {
        ::usleep(kPollMs * 1000);
        const size_t now = output().size();
        quiet = now == size ? quiet + kPollMs : 0;
        size = now;
    }
}

std::optional<int> PtyProcess::wait_for(int timeout_ms) {
    if (status_ || pid_ <= 0) return status_;
    status_ = wait_child(pid_, timeout_ms);
    if (status_) drain();
    return status_;
}

int PtyProcess::stop() {
    if (status_ || pid_ <= 0) return status_.value_or(-1);
    status_ = end_child(pid_);
    drain();
    return *status_;
}

}  // namespace qd::test
