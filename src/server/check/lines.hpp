// The console text of a configuration check, in the console's language.
#pragma once

#include "platform/console.hpp"
#include "server/check/facts.hpp"
#include "server/check/judge.hpp"
#include "server/server.hpp"

namespace qd {

// Says the check: the file, every key of the INI key table with its value, the container and
// its verdict, the policy for each kind of board, the allowlist's entries, the journal, the
// adapters, port 5008, and the outcome with each reason that keeps every board from an update.
void say_check(Console& con, const CheckFacts& f, const CheckVerdict& v, BuildStamp build);

}  // namespace qd
