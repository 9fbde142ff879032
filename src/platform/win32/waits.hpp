// The Windows waits' part in an end from outside (ending.hpp): the console's control handler
// records the request and wakes the waits, which then pass through the gate
// (end_gate::act_if_requested).
#pragma once

#include <cstdint>

namespace qd::win32 {

// For the console's control handler: records the console event as a request to end and wakes
// the waits; false when the gate is not armed (nothing acts on a request then).
bool request_end(unsigned long event);

// A pause of `ms` that an end from outside cuts short.
void pause_ms(uint32_t ms);

// The longest slice of a wait that cannot be woken (a socket's select): a request waits no more.
inline constexpr uint32_t kWaitSliceMs = 100;

}  // namespace qd::win32
