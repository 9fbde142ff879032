// The command sequence that rewrites a device's program, and the end of a dialogue.
#pragma once

namespace qd {

struct Server;

// State 2: the step blocks in the order 0, 1, 9, 2, 3, 4, 5, 6, 7; each runs when `proc` holds
// its code, so accepted steps follow one another within the pass.
void run_update_steps(Server& srv);

// State 3: closes the send socket and goes back to waiting.
void finish_dialogue(Server& srv);

}  // namespace qd
