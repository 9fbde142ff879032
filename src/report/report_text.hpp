// The journals' report on the console: the files, the totals by result and by day, the boards to
// redo, the boards updated more than once, the damaged lines and the verdict.
#pragma once

#include "platform/console.hpp"
#include "report/journal_tally.hpp"

namespace qd {

void say_report(Console& con, const JournalTally& tally);

}  // namespace qd
