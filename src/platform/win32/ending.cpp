// An end from outside on Windows: the console's control handler runs on a thread of its own; it
// records the request and wakes the waits, and the program's own thread, after its wait, runs
// the hook and ends the program with the code a console program ended by Ctrl+C gets. No lock
// is shared with the handler.
#include <windows.h>

#include "platform/end_gate.hpp"
#include "platform/ending.hpp"
#include "platform/win32/sockets.hpp"
#include "platform/win32/waits.hpp"

namespace qd {
namespace {

// Set when an end is requested; the pauses wait on it.
HANDLE g_wake = nullptr;

}  // namespace

namespace end_gate {

void install_handlers() {
    // The control handler is the console's (system.cpp); here only what wakes the pauses.
    g_wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

void collect_pending() {}

void end_as(int) {
    win32::close_open_sockets();
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

}  // namespace end_gate

namespace win32 {

bool request_end(unsigned long event) {
    if (!end_gate::armed()) return false;
    end_gate::record(static_cast<int>(event) + 1);  // Ctrl+C is event 0
    if (g_wake != nullptr) SetEvent(g_wake);
    return true;
}

void pause_ms(uint32_t ms) {
    if (g_wake != nullptr) {
        WaitForSingleObject(g_wake, ms);
    } else {
        Sleep(ms);
    }
    end_gate::act_if_requested();
}

}  // namespace win32
}  // namespace qd
