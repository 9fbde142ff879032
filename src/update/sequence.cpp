// The update sequence of one device's dialogue, for both drivers.
#include "update/sequence.hpp"

#include <cstring>

#include "protocol/bytes.hpp"
#include "protocol/constants.hpp"

namespace qd {
namespace {

constexpr uint32_t kErasePauseMs = 1000;  // the device takes its time over the erase
constexpr uint8_t kMaxCrcMismatches = 3;
// The image password is read once, at start-up: a device that refuses it this often in one
// dialogue will refuse it until the server is started with another.
constexpr uint8_t kMaxPasswordRefusals = 3;
// The jump is sent at most this many times: a device that has jumped answers no more, and
// endless repeats would reach the next board that takes its address.
constexpr uint8_t kMaxJumpAttempts = 5;

using Stage = Sequence::Stage;

// The steps in their order. The write step repeats itself until the last block, and the flash
// check may lead back to the erase: both are decided where they are accepted.
constexpr uint8_t kSteps[] = {CMD_NOP,           CMD_ACTIVATE_BL,    CMD_GET_CONFIG,
                              CMD_UNBLOCK_FLASH, CMD_ERASE_UP_FLASH, CMD_SET_PASS_BIN,
                              CMD_WRITE_UP_FLASH, CMD_GETCRC_FLASH,  CMD_JUMP_TO_APP};

uint8_t step_after(uint8_t code) {
    for (size_t i = 0; i + 1 < sizeof kSteps; ++i) {
        if (kSteps[i] == code) return kSteps[i + 1];
    }
    return CMD_NOP;
}

// After a reply has been evaluated: `pauses` pauses, then `then`.
void after(Sequence& s, uint8_t pauses, uint32_t pause_ms, Stage then) {
    s.pauses = pauses;
    s.pause_ms = pause_ms;
    s.stage = then;
}

// After an accepted reply: the pause after the poll (`count` of them), left out reply-paced.
void after_accepted(Sequence& s, const SequenceConfig& cfg, Stage then, uint8_t count = 1) {
    after(s, cfg.reply_paced ? 0 : count, cfg.delay_steps, then);
}

void give_up(Sequence& s, const GiveUp& why, SequenceOutput& out) {
    out.given_up(why);
    s.log.outcome = why.why;
}

// The flash CRC the device reports, against the image's: a flash that differs is written
// again, and after the third difference the device is not sent to its application.
void flash_checked(Sequence& s, const SequenceConfig& cfg, uint32_t image_crc,
                   const from_dev_update_t& r, SequenceOutput& out) {
    DialogueCounts& log = s.log;
    log.crc_after = byte_to_int(r.ext_area, 0);
    log.crc_reported = true;
    log.crc_differs = log.crc_after != image_crc;
    const bool differs = cfg.verify_flash && log.crc_differs;
    out.flash_crc(log.crc_after, cfg.verify_flash && !differs);
    if (!differs) {
        s.proc = CMD_JUMP_TO_APP;
        after_accepted(s, cfg, Stage::send);
    } else if (++log.crc_mismatches >= kMaxCrcMismatches) {
        give_up(s, GiveUp{DialogueEnd::verify_failed}, out);
        after_accepted(s, cfg, Stage::ended);
    } else {
        out.written_again(image_crc);
        s.proc = CMD_ERASE_UP_FLASH;
        after_accepted(s, cfg, Stage::gap);
    }
}

void accepted(Sequence& s, const SequenceConfig& cfg, uint32_t image_crc, const from_dev_update_t& r,
              uint64_t now_ms, SequenceOutput& out) {
    s.log.last_reply_ms = now_ms;  // the stall time starts again
    s.log.any_accepted = true;
    s.drop_stale = true;
    s.refused = false;
    switch (s.proc) {
        case CMD_GET_CONFIG:
            out.config_read(r.ext_area[0]);
            break;
        case CMD_SET_PASS_BIN:  // the device takes its time over the password: two pauses
            s.proc = CMD_WRITE_UP_FLASH;
            s.block = 0;
            after_accepted(s, cfg, Stage::send, 2);
            return;
        case CMD_WRITE_UP_FLASH:  // the next block at once; after the last one, the flash check
            out.block_written(s.block);
            if (++s.block < IMAGE_BLOCKS) return after(s, 0, 0, Stage::send);
            break;
        case CMD_GETCRC_FLASH:
            flash_checked(s, cfg, image_crc, r, out);
            return;
        case CMD_JUMP_TO_APP:
            s.proc = CMD_NOP;
            s.log.outcome = !s.log.updating     ? DialogueEnd::jumped
                            : s.log.crc_differs ? DialogueEnd::crc_differs
                                                : DialogueEnd::updated;
            after_accepted(s, cfg, Stage::ended);
            return;
        default:
            break;
    }
    s.proc = step_after(s.proc);
    after_accepted(s, cfg, Stage::send);
}

// Why the stall time ends a dialogue: a device that answers is refusing; one that never
// answered, at an address outside the PC's networks, cannot be reached; else it is silent.
DialogueEnd stall_cause(const Sequence& s) {
    if (s.refused) return DialogueEnd::device_refused;
    if (s.log.outside_networks && !s.log.any_accepted) return DialogueEnd::unreachable;
    return DialogueEnd::stalled;
}

// A failed attempt, once its pauses are over: the jump limit, then the stall time.
void checked_failure(Sequence& s, const SequenceConfig& cfg, uint64_t now_ms, SequenceOutput& out) {
    if (s.proc == CMD_JUMP_TO_APP && s.log.jump_attempts >= kMaxJumpAttempts) {
        give_up(s, GiveUp{DialogueEnd::jump_unconfirmed}, out);
        s.stage = Stage::ended;
        return;
    }
    const uint16_t limit = cfg.stall_timeout;
    if (limit != 0 && now_ms - s.log.last_reply_ms >= uint64_t{limit} * 1000u) {
        give_up(s, GiveUp{stall_cause(s), limit, s.refused ? s.refusal : 0}, out);
        s.stage = Stage::ended;
    }
}

// A valid reply read for the step: whether it refused the step, and with what.
void note_refusal(Sequence& s, uint8_t code, const from_dev_update_t& r) {
    s.refused = r.get_cmd == code && r.get_result != RES_OK;
    s.refusal = r.get_result;
}

// The image password refused (a wrong password, or the wrong one for the image).
bool password_refused(uint8_t code, const from_dev_update_t& r) {
    return code == CMD_SET_PASS_BIN && r.get_cmd == CMD_SET_PASS_BIN &&
           (r.get_result == RES_BAD_PASSWORD || r.get_result == RES_BAD_BIN_PASSWORD);
}

Next send(Sequence& s, const SequenceConfig& cfg) {
    // The longest wait for the reply: the device takes its time over the erase.
    const uint32_t wait = s.proc == CMD_ERASE_UP_FLASH   ? kErasePauseMs
                          : s.proc == CMD_WRITE_UP_FLASH ? cfg.delay_write_block
                                                         : cfg.delay_steps;
    Next n{Do::send, s.proc, wait, s.drop_stale};
    s.drop_stale = false;
    ++s.log.commands;
    if (s.proc == CMD_JUMP_TO_APP) ++s.log.jump_attempts;
    s.stage = Stage::await;
    return n;
}

// What a reply shows of the device's counter, against the reply read before it.
void learn_counter(ReplyMemory& m, const from_dev_update_t& r) {
    if (m.count > 0 && m.last_cmd != r.get_cmd) {
        (m.last_frame == r.n_frame ? m.numbers_repeat : m.numbers_differ) = true;
    }
    m.last_cmd = r.get_cmd;
    m.last_frame = r.n_frame;
}

// The device numbers its replies, as far as this dialogue shows. A bootloader may count only
// its announcements, or nothing, and then two replies to the same command are alike.
bool numbers_replies(const ReplyMemory& m) { return m.numbers_differ && !m.numbers_repeat; }

// Notes a valid reply read in the dialogue; true unless it is the second copy of one read
// before. Only a device that numbers its replies tells a copy (the number and checksum of the
// reply it repeats) from a new reply; from any other every reply counts.
bool note_reply(ReplyMemory& m, const from_dev_update_t& r) {
    learn_counter(m, r);
    const size_t known = m.count < ReplyMemory::kSeen ? m.count : ReplyMemory::kSeen;
    for (size_t i = 0; i < known; ++i) {
        if (m.frame[i] == r.n_frame && m.crc[i] == r.crc_struct) return !numbers_replies(m);
    }
    const size_t slot = m.count % ReplyMemory::kSeen;
    m.frame[slot] = r.n_frame;
    m.crc[slot] = r.crc_struct;
    ++m.count;
    return true;
}

}  // namespace

void sequence_open(Sequence& s, uint8_t first, uint64_t now_ms, bool outside_networks) {
    s = Sequence{};
    s.proc = first;
    s.log.updating = first == CMD_NOP;
    s.log.outside_networks = outside_networks;
    s.log.last_reply_ms = now_ms;
    after(s, 1, OPENING_PAUSE_MS, Stage::send);
}

Next sequence_next(Sequence& s, const SequenceConfig& cfg, uint64_t now_ms, SequenceOutput& out) {
    if (s.pauses > 0) {
        --s.pauses;
        return Next{Do::pause, 0, s.pause_ms, false};
    }
    if (s.check_failure) {
        s.check_failure = false;
        checked_failure(s, cfg, now_ms, out);
    }
    switch (s.stage) {
        case Stage::gap:
            s.stage = Stage::send;
            return Next{Do::gap, 0, REPEAT_GAP_MS, false};
        case Stage::ended:
            return Next{Do::end, 0, 0, false};
        default:  // send; or await, asked again without a reply: sent again
            return send(s, cfg);
    }
}

void sequence_heard(Sequence& s, const SequenceConfig& cfg, uint32_t image_crc,
                    const from_dev_update_t* reply, uint64_t now_ms, SequenceOutput& out) {
    const uint8_t code = s.proc;
    if (reply != nullptr) note_refusal(s, code, *reply);
    if (code == CMD_ERASE_UP_FLASH && reply != nullptr && reply->get_result != RES_OK) {
        reply = nullptr;  // the erase tests the result before it reports
    }
    if (reply == nullptr) {
        out.no_reply(code);
    } else {
        out.reply(*reply, code);
        if (reply->get_cmd == code && reply->get_result == RES_OK) {
            accepted(s, cfg, image_crc, *reply, now_ms, out);
            return;
        }
    }
    ++s.log.repeats;
    s.check_failure = true;
    if (reply != nullptr && password_refused(code, *reply) &&
        ++s.log.password_refusals >= kMaxPasswordRefusals) {
        give_up(s, GiveUp{DialogueEnd::bad_password, 0, reply->get_result}, out);
        s.check_failure = false;
        after(s, 1, cfg.delay_steps, Stage::ended);
        return;
    }
    if (code == CMD_WRITE_UP_FLASH) {
        after(s, 0, 0, Stage::send);  // a block is sent again at once
    } else {
        after(s, 1, cfg.delay_steps, Stage::gap);
    }
}

bool sequence_takes(Sequence& s, const SequenceConfig& cfg, const from_dev_update_t& r, bool last) {
    if (note_reply(s.replies, r)) return true;
    return last && !cfg.reply_paced && r.get_cmd != s.proc;
}

void sequence_stale(Sequence& s, const from_dev_update_t& r) { note_reply(s.replies, r); }

void sequence_payload(const Sequence& s, const SequenceConfig& cfg, const uint8_t* image,
                      uint8_t* ext, uint32_t& f_address) {
    if (s.proc == CMD_SET_PASS_BIN) int_to_byte(&cfg.bin_pass, ext, 0);
    if (s.proc != CMD_WRITE_UP_FLASH) return;
    const uint32_t offset = s.block * WRITE_BLOCK_SIZE;
    std::memcpy(ext, image + offset, WRITE_BLOCK_SIZE);
    f_address = FLASH_BASE + offset;
}

}  // namespace qd
