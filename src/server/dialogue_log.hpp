// How one dialogue with a device went: what its end, its stall check and the journal need.
#pragma once

#include <cstdint>

#include "server/journal.hpp"

namespace qd {

// How a dialogue with a device went, for its end and the journal.
struct DialogueLog {
    uint64_t opened_ms = 0;      // monotonic time the dialogue was opened
    uint64_t last_reply_ms = 0;  // monotonic time of the last accepted reply (or the opening)
    uint32_t commands = 0;       // attempts made, failed sends included
    uint32_t repeats = 0;        // attempts that were not accepted
    uint8_t crc_mismatches = 0;  // flash checks that found another CRC than the image's
    uint8_t jump_attempts = 0;   // CMD_JUMP_TO_APP attempts
    bool crc_reported = false;   // the device answered CMD_GETCRC_FLASH (crc_after holds it)
    uint32_t crc_after = 0;
    bool drop_stale = false;     // a reply was accepted: drop what waits before the next command
    bool updating = false;       // the dialogue writes the flash (not a jump alone)
    JournalResult outcome = JournalResult::ignored;  // how it ended
};

}  // namespace qd
