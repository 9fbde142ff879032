// The POSIX waits' part in ending the program from outside (ending.hpp): the end signals are
// blocked but for the waits, which let them in and end the program when one came.
#pragma once

#include <csignal>

namespace qd::posix {

// Whether end_at_waits has been called.
bool ending_at_waits();
// The signal mask a wait runs with (the end signals let in), or nullptr before end_at_waits.
const sigset_t* wait_mask();
// After a wait: when an end signal came, runs the hook and ends the program; else returns.
void end_if_asked();

}  // namespace qd::posix
