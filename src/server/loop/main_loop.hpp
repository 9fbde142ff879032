// The one-at-a-time loop: waiting for a device's broadcast, reporting and deciding, and acting on
// the decision; the update sequence runs in the same pass (update_sequence.hpp).
#pragma once

namespace qd {

struct Server;

// The blocks of a pass (pass.hpp), each run when `state` has its value.
void wait_for_broadcast(Server& srv);
void act_on_decision(Server& srv);
}  // namespace qd
