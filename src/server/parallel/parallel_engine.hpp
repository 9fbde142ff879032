// The engine that updates several devices at once (`Parallel=N`): one receive and one send
// socket, datagrams routed by source address into each dialogue, and a wait for the earliest
// deadline or a datagram.
#pragma once

#include <cstdint>

#include "server/parallel/parallel_state.hpp"

namespace qd {

struct Server;
struct Settings;

// Parallel=N with N from 2 to 64 runs this engine; anything else the one-at-a-time loop.
bool parallel_engine_on(const Settings& cfg);

// One wait of the engine and what follows it: due dialogues advanced, datagrams routed.
void parallel_pass(Server& srv);

}  // namespace qd
