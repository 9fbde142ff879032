// A pass of the server: the port taken once it is free, then one pass of the engine the
// configuration runs; and the end from outside, for both engines.
#include "server/pass.hpp"

#include "server/journal/journal.hpp"
#include "server/loop/loop_pass.hpp"
#include "server/net/exchange.hpp"
#include "server/parallel/parallel_engine.hpp"
#include "server/server.hpp"

namespace qd {

namespace {

// The port another program held at start-up is free now: devices are heard from here on.
void take_freed_port(Server& srv, bool waiting_counter) {
    if (!retry_soc_rx(srv)) return;
    say(srv.con, "%sПорт 5008 свободен, сообщения устройств принимаются\n",
        waiting_counter ? "\n" : "");  // the waiting counter's line is left open
}

// A dialogue still open gets its journal line, with what it has done so far; once.
void journal_if_open(Server& srv, DialogueRecord& d) {
    if (!d.open) return;
    d.open = false;
    journal_write(srv, d.journal_entry, d.dialogue.log(), DialogueEnd::interrupted);
}

}  // namespace

void journal_interrupted(Server& srv) {
    srv.con.flush_held();  // what the steps printed before the wait
    journal_if_open(srv, srv.loop.dlg);
    for (ParallelDialogue& d : srv.parallel.slots) journal_if_open(srv, d.rec);
}

void pass(Server& srv) {
    const bool parallel = parallel_engine_on(srv.cfg);
    take_freed_port(srv, !parallel);
    if (parallel) {
        parallel_pass(srv);
    } else {
        loop_pass(srv);
    }
}

}  // namespace qd
