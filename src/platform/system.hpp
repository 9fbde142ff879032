// The platform's own console and clock, made ready for the server on first use, and the
// program's arguments.
#pragma once

#include <string>
#include <vector>

#include "platform/clock.hpp"
#include "platform/console.hpp"

namespace qd {

// The standard output, prepared for operator messages (code page, charset).
Console& system_console();

// Real pauses and the local time of the machine.
Clock& system_clock();

// The program's arguments (argv[0] first) in UTF-8: on Windows taken from its wide command line,
// so that a file name keeps characters the ANSI code page has not; elsewhere as given.
std::vector<std::string> utf8_arguments(int argc, char** argv);

}  // namespace qd
