// One device's dialogue when several devices are updated at once: the dialogue
// (update/dialogue.hpp) driven by deadlines, with its own queue and compact console lines. The
// engine (parallel_engine.cpp) routes datagrams to it and wakes it at its deadline.
#pragma once

#include <cstddef>
#include <cstdint>

#include "server/parallel/parallel_state.hpp"

namespace qd {

struct Server;

// Opens the dialogue with a device.
void dialogue_open(Server& srv, ParallelDialogue& d, const DialogueStart& start);
// A datagram from the device's address: kept for its poll; a reply-paced wait ends on a reply.
void dialogue_receive(Server& srv, ParallelDialogue& d, const uint8_t* rx, int len);
// Advances the dialogue as far as its deadlines allow; it is closed (used false) at its end.
void dialogue_run(Server& srv, ParallelDialogue& d);

}  // namespace qd
