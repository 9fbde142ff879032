// What the one-at-a-time loop keeps: its state and the device at hand, whose dialogue record is
// kept from one dialogue to the next (the payload and flash address a dialogue starts from are
// the last one's).
#pragma once

#include <cstdint>

#include "server/dialogue_record.hpp"
#include "update/decision.hpp"
#include "update/outcome.hpp"
#include "update/sequence.hpp"

namespace qd {

enum : uint8_t {
    STATE_WAIT_BROADCAST = 0,
    STATE_DECIDED = 1,
    STATE_UPDATING = 2,
    STATE_FINISHING = 3,
};

// The pause that ends each pass, ms. A failed step's gap ends the pass: its closing pause is
// the gap.
inline constexpr uint32_t PASS_PAUSE_MS = 100;
static_assert(PASS_PAUSE_MS == REPEAT_GAP_MS);

// The pause after opening and after closing the send socket, ms.
inline constexpr uint32_t SOCKET_PAUSE_MS = 100;

// The one-at-a-time loop's state for the device at hand, and its frames.
struct LoopState {
    uint8_t state = 0;              // STATE_...
    uint8_t enable_update_up1 = 0;  // the update flag acted on for the last device
    Analysis analysis;              // the analysis of the device at hand
    uint32_t cycle_counter = 0;     // passes made while waiting
    from_dev_bcst_t in_bc = {};     // the last announcement read
    DialogueRecord dlg;             // the device at hand and its dialogue
};

}  // namespace qd
