// The platform's own console and clock, made ready for the server on first use.
#pragma once

#include "platform/clock.hpp"
#include "platform/console.hpp"

namespace qd {

// The standard output, prepared for operator messages (code page, charset).
Console& system_console();

// Real pauses and the local time of the machine.
Clock& system_clock();

}  // namespace qd
