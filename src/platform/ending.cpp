// The gate of an end from outside, the same on both platforms: the handler records, the thread
// that owns the program's state acts after each of its waits.
#include "platform/ending.hpp"

#include <atomic>

#include "platform/end_gate.hpp"

namespace qd {
namespace {

// Written by a signal handler or the console's control thread: lock-free.
std::atomic<int> g_request{0};
static_assert(std::atomic<int>::is_always_lock_free);

EndHook g_hook = nullptr;
void* g_context = nullptr;
std::atomic<bool> g_armed{false};

}  // namespace

void end_at_waits(EndHook hook, void* context) {
    g_hook = hook;
    g_context = context;
    end_gate::install_handlers();
    g_armed = true;
}

namespace end_gate {

bool armed() { return g_armed; }

void record(int how) {
    int none = 0;
    g_request.compare_exchange_strong(none, how);
}

bool requested() { return g_request.load() != 0; }

void act_if_requested() {
    if (!g_armed) return;
    collect_pending();
    const int how = g_request.load();
    if (how == 0) return;
    if (g_hook != nullptr) g_hook(g_context);
    end_as(how);
}

}  // namespace end_gate
}  // namespace qd
