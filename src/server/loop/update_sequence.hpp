// The one-at-a-time driver of the update sequence: the start of a dialogue, its steps, its end.
#pragma once

#include <cstdint>

namespace qd {

struct Server;

// Opens the send socket and the dialogue, first command first_proc; state 2 follows.
void start_dialogue(Server& srv, uint8_t first_proc);

// State 2: the steps of the sequence (sequence.hpp), one after the other within the pass until
// one must be repeated (it is, in the next pass) or the dialogue has ended (state 3).
void run_update_steps(Server& srv);

// State 3: closes the send socket and goes back to waiting.
void finish_dialogue(Server& srv);

}  // namespace qd
