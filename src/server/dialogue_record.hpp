// A dialogue in progress, as either engine keeps it: the device, its journal line, the dialogue
// itself (update/dialogue.hpp) and the frames that go to and come from the device. The
// one-at-a-time loop holds one, the engine for several devices one for each dialogue it runs.
#pragma once

#include <cstdint>

#include "protocol/frames.hpp"
#include "server/journal/journal_state.hpp"
#include "update/dialogue.hpp"

namespace qd {

struct DialogueRecord {
    char dev_IP[32] = {};          // the device's address as dotted text
    uint32_t IP_addr_tx = 0;       // where its commands go, network byte order; port 5008
    JournalEntry journal_entry;    // its journal line as far as it is known at the decision
    bool open = false;             // the dialogue runs and its journal line is not yet written
    DeviceDialogue dialogue;       // its rules, payload and flash address
    from_serv_update_t out_serv = {};  // the last command sealed
    from_dev_update_t in_dev = {};     // the last reply read
};

}  // namespace qd
