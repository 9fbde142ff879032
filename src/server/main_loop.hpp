// The main loop: waiting for a device's broadcast, reporting and deciding, and acting on the
// decision; the update sequence runs in the same pass. With Parallel on, a pass is the engine's
// for several devices at once (parallel.hpp) instead.
#pragma once

#include <cstdint>

#include "protocol/frames.hpp"

namespace qd {

struct Server;

enum : uint8_t {
    STATE_WAIT_BROADCAST = 0,
    STATE_DECIDED = 1,
    STATE_UPDATING = 2,
    STATE_FINISHING = 3,
};

// The pause after opening and after closing the send socket, ms.
inline constexpr uint32_t SOCKET_PAUSE_MS = 100;

// One pass: one at a time, the four state blocks in their fixed order, then PASS_PAUSE_MS;
// with Parallel on, one wait of that engine and what follows it.
void pass(Server& srv);

// The server is being ended from outside: each dialogue in progress gets its journal line, with
// what it has done so far. For a pause or a wait of either engine, where the dialogues' state is
// whole.
void journal_interrupted(Server& srv);

// The blocks of a pass, each run when `state` has its value.
void wait_for_broadcast(Server& srv);
void act_on_decision(Server& srv);
// The decision for the device in in_bc; writes enable_update_up1 (or leaves it alone) and,
// in the journal's words, exchange.decision.
void decide_update(Server& srv);

// The device's report: the announcement's fields between separators.
void report_device(Server& srv, const from_dev_bcst_t& bc);
// The block that follows a valid announcement in in_bc: the report, dev_IP, the analysis and
// the decision.
void report_and_decide(Server& srv);

// What the acting step does with the device just decided on.
enum class DeviceAction { ignore, update, jump };
// The acting step's lines (a bad address, no image, the jump line, or the ignore lines) and
// the journal's note of the decision; what is to be done.
DeviceAction choose_action(Server& srv);

}  // namespace qd
