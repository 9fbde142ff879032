// How one dialogue with a device went: what its end, its stall check and the journal need.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/frames.hpp"
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
    // The device's number and checksum of the last replies read in the dialogue, newest last.
    static constexpr size_t kSeenReplies = 8;
    uint32_t seen_frame[kSeenReplies] = {};
    uint32_t seen_crc[kSeenReplies] = {};
    size_t seen_count = 0;
    // What the replies read so far show of the device's reply counter: the command and number
    // of the last one, whether two read one after the other that answer different commands
    // carried different numbers, and whether two such replies ever carried the same number.
    bool any_read = false;
    uint32_t last_cmd = 0;
    uint32_t last_frame = 0;
    bool numbers_differ = false;
    bool numbers_repeat = false;
    bool updating = false;       // the dialogue writes the flash (not a jump alone)
    JournalResult outcome = JournalResult::ignored;  // how it ended
};

// The device numbers its replies, as far as this dialogue shows: a bootloader may count only
// its announcements, or nothing, and then two replies to the same command are alike.
inline bool numbers_replies(const DialogueLog& d) { return d.numbers_differ && !d.numbers_repeat; }

// What a reply tells of the device's counter, against the reply read before it.
inline void learn_counter(DialogueLog& d, const from_dev_update_t& r) {
    if (d.any_read && d.last_cmd != r.get_cmd) {
        if (d.last_frame == r.n_frame) {
            d.numbers_repeat = true;
        } else {
            d.numbers_differ = true;
        }
    }
    d.any_read = true;
    d.last_cmd = r.get_cmd;
    d.last_frame = r.n_frame;
}

// Notes a valid reply read in the dialogue (taken by a poll, or dropped as stale); true unless
// it is the second copy of one read before. Only a device that numbers its replies tells a copy
// (the number and the checksum of the reply it repeats) from a new reply; from any other every
// reply counts.
inline bool note_reply(DialogueLog& d, const from_dev_update_t& r) {
    learn_counter(d, r);
    const size_t known = d.seen_count < DialogueLog::kSeenReplies ? d.seen_count
                                                                   : DialogueLog::kSeenReplies;
    bool copy = false;
    for (size_t i = 0; i < known && !copy; ++i) {
        copy = d.seen_frame[i] == r.n_frame && d.seen_crc[i] == r.crc_struct;
    }
    if (copy && numbers_replies(d)) return false;
    if (copy) return true;
    const size_t slot = d.seen_count % DialogueLog::kSeenReplies;
    d.seen_frame[slot] = r.n_frame;
    d.seen_crc[slot] = r.crc_struct;
    ++d.seen_count;
    return true;
}

// A valid reply that a poll may take for the command `code` just sent: not a copy of a reply
// read before, which would stand in for a block the device refused. Reply-paced, the wait for
// the reply reads a copy and goes on waiting, whatever command it names; with fixed pauses the
// one poll leaves a copy naming another command to the usual check, which does not accept it.
inline bool take_if_new(DialogueLog& d, const from_dev_update_t& r, uint32_t code,
                        bool reply_paced) {
    return note_reply(d, r) || (!reply_paced && r.get_cmd != code);
}

}  // namespace qd
