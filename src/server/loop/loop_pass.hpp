// The one-at-a-time loop's pass: waiting for a device's broadcast, reporting and deciding, acting
// on the decision, the dialogue's steps and its end (loop_dialogue.hpp), each block run when the
// loop's state has its value, in that order; then the pass's closing pause.
#pragma once

namespace qd {

struct Server;

// One pass of the loop: the four blocks in their fixed order, then PASS_PAUSE_MS.
void loop_pass(Server& srv);

// The first two blocks.
void wait_for_broadcast(Server& srv);
void act_on_decision(Server& srv);

}  // namespace qd
