#include "server/report.hpp"

namespace qd {

void p_time(Console& con, Clock& clock) {
    const LocalTime t = clock.now();
    say(con, "[%02d/%02d/%d ", t.day, t.month, t.year);
    say(con, "%02d:%02d:%02d]", t.hour, t.minute, t.second);
}

}  // namespace qd
