// The Windows waits' part in ending the program from outside (ending.hpp): the thread that waits
// holds a lock but for its waits, and the console's control handler takes it before it ends the
// program.
#pragma once

namespace qd::win32 {

// Around each wait of the thread that called end_at_waits.
void before_wait();
void after_wait();
// For the console's control handler: once end_at_waits was called, waits until the program
// waits (for good) and runs the hook there.
void run_end_hook();

}  // namespace qd::win32
