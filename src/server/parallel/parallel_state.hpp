// What the engine for several devices keeps: whether its send socket is open, and a place for
// each dialogue it can hold, with what that dialogue keeps besides its record (the live view's
// and its lines' needs, its deadline and its queue of datagrams); and what a dialogue starts
// from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/frames.hpp"
#include "server/dialogue_record.hpp"
#include "server/journal/journal_state.hpp"

namespace qd {

inline constexpr uint32_t PARALLEL_MIN = 2;
inline constexpr uint32_t PARALLEL_MAX = 64;

// Datagrams from the device kept for its polls. A dialogue waits for one reply at a time, so a
// few places are plenty; when they are full the oldest is dropped (at the frame trace level
// with a line): a reply lost so counts as no reply, and the step is repeated.
inline constexpr size_t DIALOGUE_QUEUE_SIZE = 8;

struct QueuedDatagram {
    int len = 0;
    uint8_t bytes[sizeof(from_dev_update_t)] = {};  // a longer datagram is no frame: cut
};

struct ParallelDialogue {
    DialogueRecord rec;  // rec.IP_addr_tx is the key of the dialogue; a fresh one is zeroed
    uint8_t mac[6] = {};
    bool other_serial_said = false;  // another serial announced this address: said once
    uint32_t progress_shown = 0;     // tenths of the image reported written
    uint64_t deadline = 0;           // when the dialogue's wait ends
    uint64_t opened_ms = 0;          // monotonic time the dialogue was opened
    QueuedDatagram queue[DIALOGUE_QUEUE_SIZE];
    size_t queue_head = 0;
    size_t queue_count = 0;
};

// What a dialogue starts from: the device that was decided on, and its first command.
struct DialogueStart {
    uint32_t addr = 0;       // network byte order
    const char* ip = "";     // dotted
    const uint8_t* mac = nullptr;  // six bytes
    JournalEntry journal;    // its journal line as far as it is known at the decision
    uint8_t first_proc = CMD_NOP;  // CMD_NOP to update it, CMD_JUMP_TO_APP to send it away
    bool outside_networks = false;  // its address lies in none of the PC's networks
};

struct ParallelEngine {
    bool started = false;
    int so_tx = 0;  // the send socket of every dialogue, open from the first pass to the end
    ParallelDialogue slots[PARALLEL_MAX];
};

}  // namespace qd
