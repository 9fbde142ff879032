// The update journal: one CSV line per device the server decided on, so that a production line
// can show which board got which firmware, when, and whether it was verified.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/clock.hpp"

namespace qd {

struct Server;
struct DialogueLog;
class JournalFile;

// What the decision for a device came to, in the journal's words.
enum class JournalDecision : uint8_t {
    bad_address,
    refused,
    same_firmware,
    not_listed,
    no_image,
    update,
};

// How a device's dialogue ended.
enum class JournalResult : uint8_t {
    updated,           // the jump accepted after the write, the flash matching the image
    verify_failed,     // the flash differed three times
    stalled,           // the device stopped answering
    device_refused,    // the device kept refusing the step until the stall time
    bad_password,      // the device refused the image password three times
    interrupted,       // the server was ended from outside in the middle of the dialogue
    crc_differs,       // jumped after the write, the flash unchecked and not matching the image
    jumped,            // sent to its application without an update
    jump_unconfirmed,  // no jump accepted in five attempts
    ignored,           // nothing sent
};

// The part of a line known at the decision.
struct JournalEntry {
    LocalTime time;
    uint64_t decided_ms = 0;
    uint8_t mac[6] = {};
    char ip[32] = {};
    uint32_t hw = 0;
    uint32_t bootloader = 0;
    uint32_t crc_before = 0;
    JournalDecision decision = JournalDecision::update;
};

struct Journal {
    JournalFile* file = nullptr;  // the platform's unless a test puts another here
    bool active = false;          // open and not failed
    JournalEntry entry;
    // The last line without a command for each recent serial number: the same line is not
    // written again while the device keeps announcing itself.
    struct Quiet {
        uint8_t mac[6];
        JournalDecision decision;
        bool used;
    };
    static constexpr size_t kQuietSlots = 64;
    Quiet quiet[kQuietSlots] = {};
    size_t next_quiet = 0;
};

// The journal's column names, as its header line.
extern const char* const JOURNAL_HEADER;

// Opens the configured journal at start-up; says why when it cannot.
void journal_open(Server& srv);

// The decision for the device in in_bc (after its report and analysis), whether its address is
// usable or not.
JournalDecision journal_decision_of(Server& srv, bool address_usable);

// Notes the decision for the device in in_bc at this moment.
void journal_decided(Server& srv, JournalDecision decision);

// Writes the device's line: its dialogue (or the decision, when nothing was sent) has ended.
void journal_write(Server& srv, const JournalEntry& e, const DialogueLog& d,
                   JournalResult result);

// One journal line (without its line end) into out; its length, or 0 when it does not fit.
// Without a loaded image (image_crc empty) the image's CRC column stays empty.
size_t journal_line(const JournalEntry& e, JournalResult result, const char* image,
                    const uint32_t* image_crc, bool crc_reported, uint32_t crc_after,
                    uint64_t duration_ms, uint32_t commands, uint32_t repeats, char* out,
                    size_t cap);

}  // namespace qd
