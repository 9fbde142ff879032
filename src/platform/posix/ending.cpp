// Ending the program from outside on POSIX: SIGINT, SIGTERM and SIGHUP are blocked but for the
// waits, and a signal that comes there ends the program after the hook, by the same signal.
#include <csignal>
#include <unistd.h>

#include "platform/ending.hpp"
#include "platform/posix/waits.hpp"

namespace qd {
namespace {

constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};

EndHook g_hook = nullptr;
void* g_context = nullptr;
bool g_active = false;
sigset_t g_wait_mask;
volatile sig_atomic_t g_asked = 0;  // the end signal that came, or 0

extern "C" void note_end_signal(int sig) { g_asked = sig; }

}  // namespace

void end_at_waits(EndHook hook, void* context) {
    g_hook = hook;
    g_context = context;
    sigset_t ends;
    sigemptyset(&ends);
    struct sigaction act {};
    act.sa_handler = note_end_signal;
    sigfillset(&act.sa_mask);
    for (const int sig : kEndSignals) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        ::sigaction(sig, &act, nullptr);
        sigaddset(&ends, sig);
    }
    sigset_t current;
    ::sigprocmask(SIG_BLOCK, &ends, &current);
    // The waits run with the mask as it was, the end signals taken out of it.
    g_wait_mask = current;
    for (const int sig : kEndSignals) sigdelset(&g_wait_mask, sig);
    g_active = true;
}

namespace posix {

bool ending_at_waits() { return g_active; }

const sigset_t* wait_mask() { return g_active ? &g_wait_mask : nullptr; }

void end_if_asked() {
    const int sig = g_asked;
    if (sig == 0) return;
    if (g_hook != nullptr) g_hook(g_context);
    // The program ends as the signal would have ended it.
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

}  // namespace posix
}  // namespace qd
