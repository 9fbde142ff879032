// The POSIX waits' part in an end from outside (ending.hpp): the end signals are blocked but
// inside the waits, which run with this mask and then pass through the gate
// (end_gate::act_if_requested).
#pragma once

#include <csignal>

namespace qd::posix {

// The signal mask a wait runs with (the end signals let in), or nullptr before end_at_waits.
const sigset_t* wait_mask();

}  // namespace qd::posix
