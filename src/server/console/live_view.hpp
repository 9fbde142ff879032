// The live view of the engine for several devices at once: on a terminal, a table of the open
// dialogues at the bottom of the screen, redrawn in place at most ten times a second, with the
// console's lines scrolling above it. Elsewhere (a pipe, a file, LiveView=0) it is not there and
// every line goes out as it is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.hpp"
#include "platform/terminal.hpp"
#include "server/journal/journal.hpp"
#include "server/console/live_table.hpp"
#include "server/parallel/parallel_state.hpp"

namespace qd {

struct ParallelDialogue;
struct Server;

// The server's console with the table under it. Until the view is on, every message goes
// straight to the console it wraps.
class LiveView : public Console {
public:
    // The least time between two draws.
    static constexpr uint64_t kRedrawMs = 100;

    LiveView(Console& out, Terminal& terminal) : out_(out), terminal_(terminal) {}

    // While the view is on, messages are kept for the next draw (or for finish()).
    void write(std::string_view utf8) override;

    // Turns the view on, the first time it is asked only, when `allowed` and the terminal takes
    // it; whether it is on.
    bool start(bool allowed, uint64_t now_ms);
    bool on() const { return on_; }

    // A dialogue opened (its row added under the others) or ended (its row gone).
    void opened(const ParallelDialogue& d);
    void ended(const ParallelDialogue& d, DialogueEnd outcome);

    // Draws when a draw is due and something changed: the lines kept, then the table. Returns
    // the engine's wait, shortened to the time the next draw may be due.
    uint32_t before_wait(uint64_t now_ms, uint32_t budget_ms);

    // For any end of the program, its own or from outside: the lines kept and the table as last
    // drawn, the cursor shown, the terminal set back. The view is off after it.
    void finish();

private:
    void render(uint64_t now_ms);
    void emit(const std::string& table, int lines);

    Console& out_;
    Terminal& terminal_;
    bool tried_ = false;
    bool on_ = false;
    bool drawn_ = false;     // a frame has been drawn
    uint64_t started_ms_ = 0;
    uint64_t drawn_ms_ = 0;  // when the last frame was drawn
    std::vector<const ParallelDialogue*> rows_;  // the open dialogues, in the order they opened
    LiveTotals totals_;
    std::string pending_;      // messages kept for the next draw
    std::string table_;        // the table as rendered now
    int table_lines_ = 0;
    std::string shown_table_;  // the table on the screen; the cursor stands on the line under it
    int shown_lines_ = 0;
    std::string frame_;
    LiveRow cells_[PARALLEL_MAX];  // a row for each dialogue there can be
};

// The engine's hooks. Each does nothing without a live view that is on (`srv.live`); the first
// call of the view's start or wait hook turns it on when `[DIRECTIVE] LiveView` allows it.

// A dialogue was opened: after its first line.
void live_view_opened(Server& srv, const ParallelDialogue& d);
// A dialogue ended: after its end line.
void live_view_ended(Server& srv, const ParallelDialogue& d, DialogueEnd outcome);
// Whether the table shows the write progress, in place of the progress lines.
bool live_view_shows_progress(const Server& srv);
// Before the engine waits: draws what is due; the wait, shortened for the next draw.
uint32_t live_view_before_wait(Server& srv, uint32_t budget_ms);

}  // namespace qd
