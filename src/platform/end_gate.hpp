// The gate through which an end from outside reaches the program (ending.hpp), shared by both
// platforms: the handler records the request, the waiting thread acts on it after each wait.
// What differs by system is below: how the request comes in, and how the program then ends.
#pragma once

namespace qd::end_gate {

// Whether end_at_waits has armed the gate.
bool armed();

// The handler's part: records the request `how` (the system's own value: a signal number on
// POSIX, the console event on Windows); the first one counts. Safe in a signal handler.
void record(int how);

// Whether a request is recorded.
bool requested();

// The waiting thread's part, after each wait: when an end was requested, runs the hook and ends
// the program; else returns.
void act_if_requested();

// --- each system's part (posix/ending.cpp, win32/ending.cpp) ---

// Installs the handlers that record the requests.
void install_handlers();
// Takes in a request that came but has not reached the handler (a signal still pending) and
// records it.
void collect_pending();
// Ends the program as the request `how` ends it; never returns.
[[noreturn]] void end_as(int how);

}  // namespace qd::end_gate
