// A configuration check: the facts gathered, judged, and said.
#include "server/check/check.hpp"

#include "server/check/gather.hpp"
#include "server/check/judge.hpp"
#include "server/check/lines.hpp"

namespace qd {

int run_check(const CheckSeams& seams, const char* arg) {
    const CheckFacts facts = gather_facts(arg, seams.net, seams.adapters);
    const CheckVerdict verdict = judge(facts);
    say_check(seams.con, facts, verdict, seams.build);
    return verdict.exit_status;
}

}  // namespace qd
