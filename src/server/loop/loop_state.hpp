// What the one-at-a-time loop keeps: its state and the device at hand, its dialogue, and the
// frames and payload it carries from one dialogue to the next.
#pragma once

#include <cstdint>

#include "protocol/frames.hpp"
#include "server/journal/journal_state.hpp"
#include "update/outcome.hpp"
#include "update/sequence.hpp"

namespace qd {

enum : uint8_t {
    STATE_WAIT_BROADCAST = 0,
    STATE_DECIDED = 1,
    STATE_UPDATING = 2,
    STATE_FINISHING = 3,
};

// The pause after opening and after closing the send socket, ms.
inline constexpr uint32_t SOCKET_PAUSE_MS = 100;

// The one-at-a-time loop's state for the device at hand, and its frames.
struct LoopState {
    uint8_t state = 0;              // STATE_...
    uint8_t enable_update_up1 = 0;  // the decision for the last device
    char dev_IP[32] = {};           // its address as dotted text
    Verdict verdict = Verdict::refused;  // what its analysis came to, in the journal's words
    JournalEntry journal_entry;     // its journal line as far as it is known at the decision
    uint32_t cycle_counter = 0;     // passes made while waiting
    bool journal_due = false;       // a dialogue is open and its journal line not yet written
    Sequence seq;                   // the dialogue; seq.proc is the next command's code
    uint32_t IP_addr_tx = 0;        // where its commands go, network byte order; port 5008
    from_dev_update_t in_dev = {};
    from_serv_update_t out_serv = {};
    uint8_t cmd_ext_ar[256] = {};  // the payload, carried over from one dialogue to the next
};

}  // namespace qd
