// An end from outside on POSIX: SIGINT, SIGTERM and SIGHUP are blocked but inside the waits
// (waits.hpp), where the handler records the signal; one that is still pending after a wait
// (the wait returned with datagrams ready, or did not block at all) is taken in there too. The
// program then ends by the same signal.
#include <csignal>
#include <ctime>
#include <unistd.h>

#include "platform/end_gate.hpp"
#include "platform/ending.hpp"
#include "platform/posix/waits.hpp"

namespace qd {
namespace {

constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t g_ends;       // the end signals the program handles (not those it was started ignoring)
sigset_t g_wait_mask;  // the mask the waits run with: the end signals let in

extern "C" void note_end_signal(int sig) { end_gate::record(sig); }

}  // namespace

namespace end_gate {

void install_handlers() {
    sigemptyset(&g_ends);
    struct sigaction act {};
    act.sa_handler = note_end_signal;
    sigfillset(&act.sa_mask);
    for (const int sig : kEndSignals) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        ::sigaction(sig, &act, nullptr);
        sigaddset(&g_ends, sig);
    }
    sigset_t current;
    ::sigprocmask(SIG_BLOCK, &g_ends, &current);
    g_wait_mask = current;
    for (const int sig : kEndSignals) sigdelset(&g_wait_mask, sig);
}

void collect_pending() {
    sigset_t pending;
    if (::sigpending(&pending) != 0) return;
    for (const int sig : kEndSignals) {
        if (sigismember(&g_ends, sig) != 1 || sigismember(&pending, sig) != 1) continue;
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, sig);
        const timespec now{0, 0};
        if (::sigtimedwait(&one, nullptr, &now) == sig) record(sig);
    }
}

void end_as(int sig) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(sig, &dfl, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    ::raise(sig);
    ::sigprocmask(SIG_UNBLOCK, &one, nullptr);
    ::_exit(128 + sig);
}

}  // namespace end_gate

namespace posix {

const sigset_t* wait_mask() { return end_gate::armed() ? &g_wait_mask : nullptr; }

}  // namespace posix
}  // namespace qd
