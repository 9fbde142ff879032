// The live view: the console's lines kept between draws, and each draw one write that goes up to
// the table's first line, clears from there down, puts the kept lines and then the table.
#include "server/console/live_view.hpp"

#include <algorithm>
#include <cstdio>

#include "protocol/commands.hpp"
#include "protocol/constants.hpp"
#include "server/parallel/parallel_state.hpp"
#include "server/server.hpp"

namespace qd {
namespace {

constexpr std::string_view kHideCursor = "\x1b[?25l";
constexpr std::string_view kShowCursor = "\x1b[?25h";
// To the first column, and everything from the cursor to the end of the screen cleared.
constexpr std::string_view kClearBelow = "\r\x1b[J";
// Kept messages beyond this are drawn at once, with the table as it is on the screen.
constexpr size_t kMostPending = 64 * 1024;

// What a dialogue's row shows: the one place that reads the dialogue.
LiveRow row_of(const ParallelDialogue& d, uint64_t now_ms) {
    LiveRow r;
    const Sequence& seq = d.rec.dialogue.sequence();
    r.ip = d.rec.dev_IP;
    std::copy(std::begin(d.mac), std::end(d.mac), std::begin(r.mac));
    r.step = seq.proc == CMD_WRITE_UP_FLASH ? "запись" : command_name(seq.proc);
    r.blocks = seq.block;
    r.repeats = seq.log.repeats;
    r.elapsed_ms = now_ms > d.opened_ms ? now_ms - d.opened_ms : 0;
    return r;
}

LiveView* started_view(Server& srv) {
    if (srv.live == nullptr) return nullptr;
    srv.live->start(srv.cfg.live_view, srv.clock.monotonic_ms());
    return srv.live->on() ? srv.live : nullptr;
}

}  // namespace

void LiveView::write(std::string_view utf8) {
    if (!on_) {
        out_.write(utf8);
        return;
    }
    pending_.append(utf8);
    if (pending_.size() >= kMostPending) emit(shown_table_, shown_lines_);
}

bool LiveView::start(bool allowed, uint64_t now_ms) {
    if (tried_) return on_;
    tried_ = true;
    if (!allowed || !terminal_.start()) return false;
    on_ = true;
    started_ms_ = now_ms;
    rows_.reserve(sizeof cells_ / sizeof cells_[0]);
    return true;
}

void LiveView::opened(const ParallelDialogue& d) {
    if (on_) rows_.push_back(&d);
}

void LiveView::ended(const ParallelDialogue& d, DialogueEnd outcome) {
    if (!on_) return;
    rows_.erase(std::remove(rows_.begin(), rows_.end(), &d), rows_.end());
    switch (outcome) {
        case DialogueEnd::updated:
        case DialogueEnd::crc_differs:  // written and jumped, the flash check off
            ++totals_.updated;
            break;
        case DialogueEnd::jumped:
            ++totals_.jumped;
            break;
        case DialogueEnd::device_refused:
            ++totals_.refused;
            ++totals_.given_up;
            break;
        case DialogueEnd::bad_password:
            ++totals_.bad_password;
            ++totals_.given_up;
            break;
        case DialogueEnd::unreachable:
            ++totals_.unreachable;
            ++totals_.given_up;
            break;
        default:
            ++totals_.given_up;
            break;
    }
}

void LiveView::render(uint64_t now_ms) {
    const size_t count = std::min(rows_.size(), sizeof cells_ / sizeof cells_[0]);
    for (size_t i = 0; i < count; ++i) cells_[i] = row_of(*rows_[i], now_ms);
    totals_.open = static_cast<uint32_t>(rows_.size());
    totals_.elapsed_ms = now_ms - started_ms_;
    table_lines_ = render_live_table(cells_, count, totals_, terminal_.size(), table_);
}

uint32_t LiveView::before_wait(uint64_t now_ms, uint32_t budget_ms) {
    if (!on_) return budget_ms;
    if (drawn_ && now_ms < drawn_ms_ + kRedrawMs) {
        return static_cast<uint32_t>(std::min<uint64_t>(budget_ms, drawn_ms_ + kRedrawMs - now_ms));
    }
    render(now_ms);
    if (!drawn_ || !pending_.empty() || table_ != shown_table_) {
        emit(table_, table_lines_);
        shown_table_.swap(table_);
        drawn_ = true;
        drawn_ms_ = now_ms;
    }
    // The next change of the time since the start.
    const uint64_t elapsed = now_ms - started_ms_;
    const uint64_t next_second = 1000 - elapsed % 1000;
    return static_cast<uint32_t>(std::min<uint64_t>(budget_ms, next_second));
}

// One write: up to the table's first line, cleared from there down, the kept messages (a line
// left open is ended, so that the table starts on a line of its own), then the table, under which
// the cursor stands.
void LiveView::emit(const std::string& table, int lines) {
    frame_.clear();
    if (!drawn_) frame_ += kHideCursor;
    if (shown_lines_ > 0) {
        char up[16];
        std::snprintf(up, sizeof up, "\x1b[%dA", shown_lines_);
        frame_ += up;
    }
    frame_ += kClearBelow;
    frame_ += pending_;
    if (!pending_.empty() && pending_.back() != '\n') frame_ += '\n';
    pending_.clear();
    frame_ += table;
    out_.write(frame_);
    shown_lines_ = lines;
}

void LiveView::finish() {
    if (!on_) return;
    // From the line's start: a terminal may have echoed ^C under the table.
    out_.write("\r");
    emit(shown_table_, shown_lines_);
    out_.write(kShowCursor);
    terminal_.stop();
    on_ = false;
}

void live_view_opened(Server& srv, const ParallelDialogue& d) {
    if (LiveView* view = started_view(srv)) view->opened(d);
}

void live_view_ended(Server& srv, const ParallelDialogue& d, DialogueEnd outcome) {
    if (srv.live != nullptr) srv.live->ended(d, outcome);
}

bool live_view_shows_progress(const Server& srv) {
    return srv.live != nullptr && srv.live->on();
}

uint32_t live_view_before_wait(Server& srv, uint32_t budget_ms) {
    LiveView* view = started_view(srv);
    return view != nullptr ? view->before_wait(srv.clock.monotonic_ms(), budget_ms) : budget_ms;
}

}  // namespace qd
