// A pass of the server, whichever engine the configuration runs, and the end from outside.
#pragma once

namespace qd {

struct Server;

// One pass: one at a time, the four state blocks in their fixed order, then PASS_PAUSE_MS;
// with Parallel on, one wait of that engine and what follows it. First, when the port was held
// by another program at start-up, the port is tried again once it is due.
void pass(Server& srv);

// The server is being ended from outside: each dialogue in progress gets its journal line, with
// what it has done so far. For a pause or a wait of either engine, where the dialogues' state is
// whole.
void journal_interrupted(Server& srv);

}  // namespace qd
