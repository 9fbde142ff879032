// Ending the program from outside on Windows: the console's control handler runs on a thread of
// its own; it takes the lock that the waiting thread holds but for its waits, so the hook runs
// while the program waits, and nothing of it moves after.
#include <windows.h>

#include <atomic>

#include "platform/ending.hpp"
#include "platform/win32/waits.hpp"

namespace qd {
namespace {

SRWLOCK g_wait_lock = SRWLOCK_INIT;
EndHook g_hook = nullptr;
void* g_context = nullptr;
std::atomic<bool> g_active{false};

}  // namespace

void end_at_waits(EndHook hook, void* context) {
    g_hook = hook;
    g_context = context;
    AcquireSRWLockExclusive(&g_wait_lock);
    g_active = true;
}

namespace win32 {

void before_wait() {
    if (g_active) ReleaseSRWLockExclusive(&g_wait_lock);
}

void after_wait() {
    if (g_active) AcquireSRWLockExclusive(&g_wait_lock);
}

void run_end_hook() {
    if (!g_active) return;
    AcquireSRWLockExclusive(&g_wait_lock);  // never given back: the program ends
    if (g_hook != nullptr) g_hook(g_context);
}

}  // namespace win32
}  // namespace qd
