// One device's dialogue, the rules of the update sequence written once: the order of the steps,
// the waits and pauses, when a reply is accepted, the repetitions, the flash check, the stall
// time, the jump limit, which reply is a second copy, and how the dialogue ends. It reads no
// socket, sleeps no time and prints nothing: the dialogue (dialogue.hpp) asks it what to do next
// and tells it what came of a command, and it tells the output what happened, as events.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/constants.hpp"
#include "protocol/frames.hpp"
#include "update/outcome.hpp"

namespace qd {

// What the sequence reads of the configuration.
struct SequenceConfig {
    bool reply_paced = false;         // a reply ends the wait for it; else fixed pauses
    uint16_t delay_steps = 100;       // ms after a command and after its poll
    uint16_t delay_write_block = 10;  // ms after a block is sent
    uint16_t stall_timeout = 60;      // s without an accepted reply before a dialogue is given up
    bool verify_flash = true;         // the flash CRC is compared with the image's
    uint32_t bin_pass = 0;            // the image password
};

// The pause after a dialogue opens, ms.
inline constexpr uint32_t OPENING_PAUSE_MS = 100;
// The gap after a failed step, ms, before the step is repeated (a block is repeated at once).
inline constexpr uint32_t REPEAT_GAP_MS = 100;

// How a dialogue with a device went: what its end, its stall check and the journal need.
struct DialogueCounts {
    uint64_t last_reply_ms = 0;  // monotonic time of the last accepted reply (or the opening)
    uint32_t commands = 0;       // attempts made, failed sends included
    uint32_t repeats = 0;        // attempts that were not accepted
    uint8_t crc_mismatches = 0;  // flash checks that found another CRC than the image's
    uint8_t jump_attempts = 0;   // CMD_JUMP_TO_APP attempts
    uint8_t password_refusals = 0;  // CMD_SET_PASS_BIN refused with a wrong password
    bool crc_reported = false;   // the device answered CMD_GETCRC_FLASH (crc_after holds it)
    uint32_t crc_after = 0;
    bool crc_differs = false;  // the last flash CRC reported was not the image's (unchecked)
    bool updating = false;  // the dialogue writes the flash (not a jump alone)
    bool outside_networks = false;  // the device's address lies outside the PC's networks
    bool any_accepted = false;      // a reply has been accepted in the dialogue
    DialogueEnd outcome = DialogueEnd::ignored;  // how it ended
};

// Why a dialogue was given up, for its line.
struct GiveUp {
    // verify_failed, jump_unconfirmed, stalled, device_refused, bad_password or unreachable
    DialogueEnd why = DialogueEnd::stalled;
    uint16_t seconds = 0;  // the stall time (stalled, device_refused, unreachable)
    uint32_t result = 0;   // the refusal's result code (device_refused, bad_password)
};

// What happens in a dialogue, as the driver's console is told it.
class SequenceOutput {
public:
    virtual ~SequenceOutput() = default;
    // The report of the reply that a step takes (the erase's only when it succeeded), or the
    // line for none.
    virtual void reply(const from_dev_update_t& r, uint8_t code) = 0;
    virtual void no_reply(uint8_t code) = 0;
    // Block `block` (from 0) is written.
    virtual void block_written(uint32_t block) = 0;
    // The flash CRC the device reported; `matches`: checked, and equal to the image's.
    virtual void flash_crc(uint32_t crc, bool matches) = 0;
    // The device's configuration byte, read by CMD_GET_CONFIG.
    virtual void config_read(uint8_t bits) = 0;
    // The flash differed from the image (CRC image_crc): it is erased and written again.
    virtual void written_again(uint32_t image_crc) = 0;
    // The dialogue is given up: every console says why.
    virtual void given_up(const GiveUp& why) = 0;
};

// What the driver does next.
enum class Do : uint8_t {
    send,   // sends `code` with its payload, then waits at most `ms` for the reply and polls
    pause,  // pauses `ms`
    gap,    // a failed step waits REPEAT_GAP_MS before it is repeated
    end,    // the dialogue has ended; its result is in log.outcome
};

struct Next {
    Do what = Do::send;
    uint8_t code = 0;
    uint32_t ms = 0;
    bool drop_stale = false;  // send: what waits to be read is stale, dropped before the send
};

// The replies a dialogue has read, for telling a second copy from a new reply: the number and
// checksum of the last ones, and what they show of the device's reply counter.
struct ReplyMemory {
    static constexpr size_t kSeen = 8;
    uint32_t frame[kSeen] = {};
    uint32_t crc[kSeen] = {};
    size_t count = 0;  // replies remembered, copies not counted
    uint32_t last_cmd = 0;
    uint32_t last_frame = 0;
    bool numbers_differ = false;  // two replies in a row to different commands, numbered apart
    bool numbers_repeat = false;  // two replies in a row to different commands, one number
};

struct Sequence {
    enum class Stage : uint8_t { send, await, gap, ended };

    uint8_t proc = CMD_NOP;  // the step's command code
    uint32_t block = 0;      // the next block of the write step
    Stage stage = Stage::send;  // where the dialogue stands once the pauses are over
    uint8_t pauses = 0;         // pauses of pause_ms still to come
    uint32_t pause_ms = 0;
    bool check_failure = false;  // an attempt failed: the jump limit and stall time after them
    bool drop_stale = false;  // a reply was accepted: what waits before the next command is stale
    // The last reply read for the step refused it (named its command, a result other than 1),
    // with this result: a device that answers is not silent.
    bool refused = false;
    uint32_t refusal = 0;
    ReplyMemory replies;
    DialogueCounts log;
};

// Opens a dialogue at monotonic time now_ms with the command first (CMD_NOP to update the
// device, CMD_JUMP_TO_APP to send it to its application): its opening pause comes first.
// `outside_networks`: the device's address lies in none of the PC's networks, so a dialogue
// that the stall time ends before any reply was accepted ends as unreachable.
void sequence_open(Sequence& s, uint8_t first, uint64_t now_ms, bool outside_networks = false);

// What to do next, at monotonic time now_ms (a repetition's checks happen here).
Next sequence_next(Sequence& s, const SequenceConfig& cfg, uint64_t now_ms, SequenceOutput& out);

// Waiting for the reply to the command sent.
inline bool sequence_awaiting(const Sequence& s) { return s.stage == Sequence::Stage::await; }

// What came of the command sent: the reply that the poll took, or none.
void sequence_heard(Sequence& s, const SequenceConfig& cfg, uint32_t image_crc,
                    const from_dev_update_t* reply, uint64_t now_ms, SequenceOutput& out);

// A datagram read while the command's reply is awaited: whether the step takes it. `last`: the
// wait is over and this is the one poll that ends it; with fixed pauses it is the command's only
// poll. A reply is passed over as the second copy of one read before where the device shows that
// it numbers its replies (reply-paced the wait goes on past it; with fixed pauses a copy naming
// another command is left to the step, which does not accept it). Then sequence_heard.
bool sequence_takes(Sequence& s, const SequenceConfig& cfg, const from_dev_update_t& r, bool last);

// A datagram that waited before a command with Next::drop_stale: stale, dropped; a reply is
// remembered, so that a later copy of it is known.
void sequence_stale(Sequence& s, const from_dev_update_t& r);

// The payload and flash address of the step's command: the password, or the next block of the
// image; other commands carry what the payload already holds.
void sequence_payload(const Sequence& s, const SequenceConfig& cfg, const uint8_t* image,
                      uint8_t* ext, uint32_t& f_address);

}  // namespace qd
