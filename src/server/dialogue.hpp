// One device's dialogue when several devices are updated at once: its place in the command
// sequence, its own payload, queue and deadline. The engine (parallel.cpp) drives it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/frames.hpp"
#include "server/dialogue_log.hpp"
#include "server/journal.hpp"

namespace qd {

struct Server;

// Datagrams from the device kept for its polls; the oldest is dropped when it is full.
inline constexpr size_t DIALOGUE_QUEUE_SIZE = 8;

struct QueuedDatagram {
    int len = 0;
    uint8_t bytes[sizeof(from_dev_update_t)] = {};  // a longer datagram is no frame: cut
};

// Where the current attempt stands.
enum class Phase : uint8_t {
    opening,  // the pause after the dialogue opened
    send,     // the next command goes out
    await,    // the pause before the poll (reply-paced: until the reply is in)
    after,    // the pause after the poll
    gap,      // the pause between a failed step and its repetition
};

struct Dialogue {
    bool used = false;
    uint32_t addr = 0;  // the device's address, network byte order; the key of the dialogue
    char ip[32] = {};  // as dev_IP
    uint8_t mac[6] = {};
    bool other_serial_said = false;  // another serial announced this address: said once
    uint8_t proc = CMD_NOP;          // the step's command code
    Phase phase = Phase::opening;
    bool step_ok = false;  // the last attempt was accepted
    bool back_to_erase = false;
    uint32_t block = 0;  // the next block of the write step
    uint32_t progress_shown = 0;  // tenths of the image reported written
    uint64_t deadline = 0;
    uint64_t decided_ms = 0;
    DialogueLog log;
    JournalEntry journal;
    from_serv_update_t out{};
    uint8_t ext[256] = {};
    from_dev_update_t in{};
    QueuedDatagram queue[DIALOGUE_QUEUE_SIZE];
    size_t queue_head = 0;
    size_t queue_count = 0;
};

// Opens the dialogue with the device at the address of srv.x.dev_IP, first command first_proc.
void dialogue_open(Server& srv, Dialogue& d, uint8_t first_proc);
// A datagram from the device's address: kept for its poll; a reply-paced wait ends on a reply.
void dialogue_receive(Server& srv, Dialogue& d, const uint8_t* rx, int len);
// Advances the dialogue as far as its deadlines allow; it is closed (used false) at its end.
void dialogue_run(Server& srv, Dialogue& d);

}  // namespace qd
