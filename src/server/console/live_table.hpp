// The live table's text: one row per open dialogue and a summary, fitted to a terminal's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/terminal.hpp"

namespace qd {

// One open dialogue as its row shows it.
struct LiveRow {
    const char* ip = "";
    uint8_t mac[6] = {};
    const char* step = "";  // the step's command name, or "запись" while the flash is written
    uint32_t blocks = 0;    // blocks written in this pass, of IMAGE_BLOCKS
    uint32_t repeats = 0;   // attempts that were not accepted
    uint64_t elapsed_ms = 0;  // since the dialogue opened
};

struct LiveTotals {
    uint32_t open = 0;
    uint32_t updated = 0;
    uint32_t jumped = 0;    // sent to their application without an update
    uint32_t given_up = 0;  // verification failed, stalled, refused, or the jump unconfirmed
    uint64_t elapsed_ms = 0;  // since the live view started
    uint32_t refused = 0;       // of given_up, a device that kept refusing its step
    uint32_t bad_password = 0;  // of given_up, a device that refused the image password
    uint32_t unreachable = 0;   // of given_up, a silent device outside the PC's networks
};

// The table for a terminal of `size` (80 columns and 24 rows where unknown), replacing `out`:
// when a dialogue is open a header and one line per row, then the summary; each line ended by
// "\n". No line takes more than the columns less one: the bar shrinks, then goes, then the serial
// number goes, and what still does not fit is cut. The table takes at most the rows less two, so
// that a line above it and the cursor's line stay visible; rows that do not fit are counted in a
// line of their own. Returns the number of lines.
int render_live_table(const LiveRow* rows, size_t count, const LiveTotals& totals,
                      TerminalSize size, std::string& out);

// The columns a UTF-8 text takes: one per character.
size_t text_columns(std::string_view utf8);

}  // namespace qd
