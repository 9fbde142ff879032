// The one-at-a-time loop's dialogue: its start, its steps, its end.
#pragma once

#include <cstdint>

namespace qd {

struct Server;

// Opens the send socket and the dialogue, first command first_proc; state 2 follows. `outside`:
// the device's address lies in none of the PC's networks (said before the first command).
void start_dialogue(Server& srv, uint8_t first_proc, bool outside);

// State 2: the dialogue's steps (update/dialogue.hpp), one after the other within the pass, the
// opening pause first, until a failed step's gap (the step is repeated in the next pass) or the
// dialogue's end (state 3).
void run_update_steps(Server& srv);

// State 3: closes the send socket and goes back to waiting.
void finish_dialogue(Server& srv);

}  // namespace qd
