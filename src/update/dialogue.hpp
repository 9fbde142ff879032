// One device's dialogue as a value that drives itself: fed the datagrams read and the waits that
// ended, each with the time, it says what to do now: a command to transmit (its code, flash
// address and payload), a wait until its deadline, a poll, or the end. It owns the sequence's
// rules (sequence.hpp), both pacings, the dropping of stale datagrams, and the payload bytes. It
// reads no socket, sleeps no time and prints nothing; what happens is told to a SequenceOutput.
//
// Every driver is the same short loop around it:
//
//     for (;;) switch (Step s = d.next(now, out); s.want) {
//         case Want::transmit: send s.command; break;
//         case Want::drain:    a datagram waits now ? d.datagram(it, now, out) : d.timeout();
//         case Want::wait:     wait until s.deadline, or (s.datagrams) for a datagram;
//                              d.datagram(it, now, out) or d.timeout(); break;
//         case Want::poll:     d.datagram(one datagram read now, or nullptr, now, out); break;
//         case Want::end:      the outcome is in d.log(); done
//     }
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/frames.hpp"
#include "update/sequence.hpp"

namespace qd {

// What the driver is to do now.
enum class Want : uint8_t {
    transmit,  // send Step::command, then ask again
    drain,     // a reply was accepted: what waits now is stale; feed each datagram that waits,
               // then the timeout when none is left
    wait,      // until Step::deadline: a pause, or the wait for the reply
    poll,      // read one datagram now, whatever waits, and feed it (nullptr when none)
    end,       // the dialogue has ended; how is in log().outcome
};

// The command to transmit: code, flash address and the 256 payload bytes (owned by the dialogue,
// valid until the next call).
struct Command {
    uint8_t code = 0;
    uint32_t f_address = 0;
    const uint8_t* payload = nullptr;
};

struct Step {
    Want want = Want::wait;
    Command command;         // transmit
    uint64_t deadline = 0;   // wait: the monotonic time it ends, ms
    bool datagrams = false;  // wait: a datagram read before the deadline is fed (reply-paced)
    // wait: a failed step's gap before it is repeated (REPEAT_GAP_MS); a driver whose own cycle
    // ends with a pause as long may end its cycle here and feed the timeout at once.
    bool gap = false;
};

// At most this many stale datagrams are dropped before one command, so that a sender that never
// stops cannot hold the dialogue.
inline constexpr uint32_t kMaxStaleDrop = 1024;

class DeviceDialogue {
public:
    // What a dialogue reads of the server: its rules' configuration and the image.
    struct Setup {
        SequenceConfig cfg;
        const uint8_t* image = nullptr;  // IMAGE_SIZE bytes
        uint32_t image_crc = 0;
    };

    // Opens a dialogue at monotonic time now_ms with the command first (CMD_NOP to update the
    // device, CMD_JUMP_TO_APP to send it to its application); its opening pause comes first.
    // `outside_networks`: see sequence_open. The payload and the flash address are kept from the
    // dialogue before: a command carries what the payload holds until a step writes it.
    void open(const Setup& setup, uint8_t first, uint64_t now_ms, bool outside_networks);

    // What to do now. Asked again before its input, it says the same.
    Step next(uint64_t now_ms, SequenceOutput& out);
    // A datagram read when the dialogue asked for one: its valid reply, or nullptr for anything
    // else (a broadcast, junk, a damaged frame, nothing). A datagram nobody asked for is not fed.
    void datagram(const from_dev_update_t* reply, uint64_t now_ms, SequenceOutput& out);
    // The wait asked for is over: its deadline came, or for a drain nothing more waits. (The time
    // reaches the dialogue with next(), where a repeated step's checks are made.)
    void timeout();

    // A datagram fed now would be taken: the wait for a reply that a reply ends.
    bool listening() const { return phase_ == Phase::awaiting && setup_.cfg.reply_paced; }
    const DialogueCounts& log() const { return seq_.log; }
    const Sequence& sequence() const { return seq_; }
    const uint8_t* cmd_ext_ar() const { return cmd_ext_ar_; }

private:
    enum class Phase : uint8_t { idle, pausing, draining, sending, awaiting, polling, ended };

    Step transmit(uint64_t now_ms);

    Setup setup_;
    Sequence seq_;
    Phase phase_ = Phase::ended;
    Next pending_;           // the command to send, while its stale datagrams are dropped
    uint64_t deadline_ = 0;  // of the pause or the wait for the reply
    bool gap_ = false;
    uint32_t dropped_ = 0;
    uint32_t f_address_ = 0;
    uint8_t cmd_ext_ar_[256] = {};  // the payload
};

}  // namespace qd
