// Console reporting shared by the server's steps.
#pragma once

#include "platform/clock.hpp"
#include "platform/console.hpp"

namespace qd {

// The time stamp [DD/MM/YYYY hh:mm:ss], without a line end.
void p_time(Console& con, Clock& clock);

}  // namespace qd
