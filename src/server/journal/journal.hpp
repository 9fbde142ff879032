// The update journal: one CSV line per device the server decided on, so that a production line
// can show which board got which firmware, when, and whether it was verified.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/clock.hpp"
#include "protocol/frames.hpp"
#include "server/journal/journal_state.hpp"
#include "update/outcome.hpp"

namespace qd {

struct Server;
struct DialogueCounts;

// The journal's column names, as its header line.
extern const char* const JOURNAL_HEADER;

// Opens the configured journal at start-up; says why when it cannot.
void journal_open(Server& srv);

// The part of the line of the device that announced bc from ip that is known at the decision,
// with the verdict: the time now, the device's fields.
JournalEntry journal_entry(Server& srv, const from_dev_bcst_t& bc, const char* ip, Verdict verdict);

// Writes the device's line: its dialogue (or the decision, when nothing was sent) has ended.
void journal_write(Server& srv, const JournalEntry& e, const DialogueCounts& d,
                   DialogueEnd result);

// One journal line (without its line end) into out; its length, or 0 when it does not fit.
// Without a loaded image (image_crc empty) the image's CRC column stays empty.
size_t journal_line(const JournalEntry& e, DialogueEnd result, const char* image,
                    const uint32_t* image_crc, bool crc_reported, uint32_t crc_after,
                    uint64_t duration_ms, uint32_t commands, uint32_t repeats, char* out,
                    size_t cap);

}  // namespace qd
