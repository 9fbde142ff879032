// `qd-server --report JOURNAL.csv [MORE.csv ...]`: the journals read one after the other and
// their report printed.
#pragma once

#include <string>
#include <vector>

#include "platform/console.hpp"

namespace qd {

// Reads the journals of UTF-8 names, in the order given, and prints their report. Its exit
// status: 0 every board done, 1 some board to redo, 2 a file not read as a journal (or none
// named).
int run_report(Console& con, const std::vector<std::string>& files);

}  // namespace qd
