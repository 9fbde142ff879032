// What the update journal keeps: the part of a device's line known at the decision, and the
// journal's own state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/clock.hpp"
#include "update/outcome.hpp"

namespace qd {

class JournalFile;

// The part of a line known at the decision.
struct JournalEntry {
    LocalTime time;
    uint64_t decided_ms = 0;
    uint8_t mac[6] = {};
    char ip[32] = {};
    uint32_t hw = 0;
    uint32_t bootloader = 0;
    uint32_t crc_before = 0;
    Verdict decision = Verdict::update;
};

struct Journal {
    JournalFile* file = nullptr;  // the platform's unless a test puts another here
    bool active = false;          // open and not failed
    // The last line without a command for each recent serial number: the same line is not
    // written again while the device keeps announcing itself.
    struct Quiet {
        uint8_t mac[6];
        Verdict decision;
        bool used;
    };
    static constexpr size_t kQuietSlots = 64;
    Quiet quiet[kQuietSlots] = {};
    size_t next_quiet = 0;
};

}  // namespace qd
