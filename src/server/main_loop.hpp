// The main loop: waiting for a device's broadcast, reporting and deciding, and acting on the
// decision; the update sequence runs in the same pass. With Parallel on, a pass is the engine's
// for several devices at once (parallel.hpp) instead.
#pragma once

#include <cstdint>

#include "protocol/frames.hpp"
#include "update/decision.hpp"

namespace qd {

struct Server;
struct JournalEntry;

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
// The device's report: the announcement's fields between separators.
void report_device(Server& srv, const from_dev_bcst_t& bc);
// The block that follows a valid announcement, for both engines: the report, the analysis and
// its findings; what the analysis came to.
Analysis report_and_analyse(Server& srv, const from_dev_bcst_t& bc);

// The acting step, for both engines, on the device that announced bc from ip: the update flag
// and the verdict as the analysis left them; the journal's entry for the device noted in
// `entry`, and the step's lines (a bad address, no image, the jump line, or the ignore lines,
// the device then journalled); what is to be done.
DeviceAction act_and_say(Server& srv, const from_dev_bcst_t& bc, const char* ip,
                         uint8_t enable_update_up1, Verdict analysed, JournalEntry& entry);

}  // namespace qd
