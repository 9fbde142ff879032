// The POSIX terminal: isatty and TERM, the window size, and the signals that end the program.
#include "platform/posix/waits.hpp"
#include "platform/terminal.hpp"

#include <csignal>
#include <cstdlib>
#include <cstring>

#include <sys/ioctl.h>
#include <unistd.h>

namespace qd {
namespace {

constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Written by the signal handler: set once before the handlers are installed.
char g_restore[64];
size_t g_restore_len = 0;

extern "C" void on_end_signal(int sig) {
    const ssize_t written = ::write(STDOUT_FILENO, g_restore, g_restore_len);
    static_cast<void>(written);
    // The program ends as the signal would have ended it.
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

sigset_t end_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kEndSignals) sigaddset(&set, sig);
    return set;
}

bool takes_vt_sequences() {
    const char* term = std::getenv("TERM");
    return ::isatty(STDOUT_FILENO) == 1 && term != nullptr && *term != '\0' &&
           std::strcmp(term, "dumb") != 0;
}

void catch_end_signals() {
    struct sigaction act {};
    act.sa_handler = on_end_signal;
    act.sa_mask = end_signals();
    for (const int sig : kEndSignals) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        ::sigaction(sig, &act, nullptr);
    }
}

class PosixTerminal : public Terminal {
public:
    // A program that is ended only at its waits (ending.hpp) sets the terminal back in its
    // own hook: the signals stay as it set them.
    bool start(std::string_view restore) override {
        if (!takes_vt_sequences()) return false;
        g_restore_len = restore.size() < sizeof g_restore ? restore.size() : sizeof g_restore - 1;
        std::memcpy(g_restore, restore.data(), g_restore_len);
        if (!posix::ending_at_waits()) catch_end_signals();
        return true;
    }

    TerminalSize size() override {
        winsize ws{};
        if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0) return {};
        return {ws.ws_col, ws.ws_row};
    }

    // Ended only at its waits, the program holds the end everywhere else already.
    void hold_end() override {
        if (posix::ending_at_waits()) return;
        const sigset_t set = end_signals();
        ::sigprocmask(SIG_BLOCK, &set, nullptr);
    }

    void release_end() override {
        if (posix::ending_at_waits()) return;
        const sigset_t set = end_signals();
        ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    }

    void stop() override {}
};

}  // namespace

Terminal& system_terminal() {
    static PosixTerminal terminal;
    return terminal;
}

}  // namespace qd
