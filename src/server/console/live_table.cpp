// The live table's text: columns as wide as their widest cell, the bar filling what is left of
// the terminal's width, lines cut where even that does not fit.
#include "server/console/live_table.hpp"

#include <algorithm>
#include <cstdio>

#include "protocol/constants.hpp"
#include "protocol/serial.hpp"

namespace qd {
namespace {

constexpr int kDefaultColumns = 80;
constexpr int kDefaultRows = 24;
constexpr size_t kGap = 2;
constexpr size_t kLeastBar = 5;   // the narrowest bar, between its brackets
constexpr size_t kMostBar = 30;
constexpr size_t kBarFrame = 3;   // "[", "] "
constexpr size_t kPercentWidth = 5;  // "100 %"

constexpr std::string_view kHeadIp = "Адрес";
constexpr std::string_view kHeadSerial = "Сер. номер";
constexpr std::string_view kHeadStep = "Шаг";
constexpr std::string_view kHeadBar = "Записано";
constexpr std::string_view kHeadPercent = "%";
constexpr std::string_view kHeadRepeats = "Повт.";
constexpr std::string_view kHeadTime = "Время";

struct Cells {
    char serial[32];
    char percent[16];
    char repeats[16];
    char time[32];
};

void format_time(uint64_t ms, char (&out)[32]) {
    const auto s = static_cast<unsigned long long>(ms / 1000);
    if (s < 3600) {
        std::snprintf(out, sizeof out, "%llu:%02llu", s / 60, s % 60);
    } else {
        std::snprintf(out, sizeof out, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
    }
}

Cells cells_of(const LiveRow& r) {
    Cells c{};
    std::snprintf(c.serial, sizeof c.serial, "%s", serial_text(r.mac).c_str());
    const uint32_t blocks = std::min(r.blocks, IMAGE_BLOCKS);
    std::snprintf(c.percent, sizeof c.percent, "%3u %%", blocks * 100u / IMAGE_BLOCKS);
    std::snprintf(c.repeats, sizeof c.repeats, "%u", r.repeats);
    format_time(r.elapsed_ms, c.time);
    return c;
}

struct Layout {
    size_t ip = 0;
    size_t serial = 0;
    size_t step = 0;
    size_t repeats = 0;
    size_t time = 0;
    size_t bar = 0;  // between the brackets; 0: no bar
    bool with_serial = true;
};

size_t width_of(const Layout& l) {
    size_t w = l.ip + kGap + l.step + kGap + kPercentWidth + kGap + l.repeats + kGap + l.time;
    if (l.with_serial) w += l.serial + kGap;
    if (l.bar > 0) w += l.bar + kBarFrame;
    return w;
}

// The columns as wide as their widest cell, header included; the time's also as wide as the
// summary's time under it.
Layout measure(const LiveRow* rows, const Cells* cells, size_t count, std::string_view total) {
    Layout l;
    l.ip = text_columns(kHeadIp);
    l.serial = text_columns(kHeadSerial);
    l.step = text_columns(kHeadStep);
    l.repeats = text_columns(kHeadRepeats);
    l.time = std::max(text_columns(kHeadTime), text_columns(total));
    for (size_t i = 0; i < count; ++i) {
        l.ip = std::max(l.ip, text_columns(rows[i].ip));
        l.serial = std::max(l.serial, text_columns(cells[i].serial));
        l.step = std::max(l.step, text_columns(rows[i].step));
        l.repeats = std::max(l.repeats, text_columns(cells[i].repeats));
        l.time = std::max(l.time, text_columns(cells[i].time));
    }
    return l;
}

// The bar takes what is left, up to its most; without room for its least it goes, and when even
// then the line is too wide, the serial number goes.
Layout fitted(Layout l, size_t limit) {
    l.bar = 0;
    const size_t fixed = width_of(l);
    if (fixed + kBarFrame + kLeastBar <= limit) {
        l.bar = std::min(kMostBar, limit - fixed - kBarFrame);
    } else if (fixed > limit) {
        l.with_serial = false;
    }
    return l;
}

void gap(std::string& line) { line.append(kGap, ' '); }

void left(std::string& line, std::string_view text, size_t width) {
    line.append(text);
    for (size_t n = text_columns(text); n < width; ++n) line += ' ';
}

void right(std::string& line, std::string_view text, size_t width) {
    for (size_t n = text_columns(text); n < width; ++n) line += ' ';
    line.append(text);
}

// The line cut to `limit` columns, never inside a character, without blanks at its end, and
// ended.
void end_line(std::string& out, std::string_view line, size_t limit) {
    size_t columns = 0;
    size_t end = 0;
    while (end < line.size()) {
        size_t next = end + 1;
        while (next < line.size() && (static_cast<unsigned char>(line[next]) & 0xC0) == 0x80) {
            ++next;
        }
        if (++columns > limit) break;
        end = next;
    }
    while (end > 0 && line[end - 1] == ' ') --end;
    out.append(line.substr(0, end));
    out += '\n';
}

void header_line(const Layout& l, std::string& line) {
    left(line, kHeadIp, l.ip);
    gap(line);
    if (l.with_serial) {
        left(line, kHeadSerial, l.serial);
        gap(line);
    }
    left(line, kHeadStep, l.step);
    gap(line);
    if (l.bar > 0) {
        left(line, kHeadBar, l.bar + kBarFrame + kPercentWidth);
    } else {
        right(line, kHeadPercent, kPercentWidth);
    }
    gap(line);
    right(line, kHeadRepeats, l.repeats);
    gap(line);
    right(line, kHeadTime, l.time);
}

void bar(const Layout& l, uint32_t blocks, std::string& line) {
    const size_t filled = std::min(blocks, IMAGE_BLOCKS) * l.bar / IMAGE_BLOCKS;
    line += '[';
    line.append(filled, '#');
    line.append(l.bar - filled, '.');
    line += "] ";
}

void row_line(const Layout& l, const LiveRow& r, const Cells& c, std::string& line) {
    left(line, r.ip, l.ip);
    gap(line);
    if (l.with_serial) {
        left(line, c.serial, l.serial);
        gap(line);
    }
    left(line, r.step, l.step);
    gap(line);
    if (l.bar > 0) bar(l, r.blocks, line);
    line += c.percent;
    gap(line);
    right(line, c.repeats, l.repeats);
    gap(line);
    right(line, c.time, l.time);
}

// The counts on the left, the time since the start under the rows' times.
void summary_line(const Layout& l, const LiveTotals& t, std::string_view time, std::string& line) {
    char text[200];
    int n = 0;
    if (t.jumped > 0) {
        n = std::snprintf(text, sizeof text,
                          "Открыто: %u, обновлено: %u, в приложение: %u, прервано: %u", t.open,
                          t.updated, t.jumped, t.given_up);
    } else {
        n = std::snprintf(text, sizeof text, "Открыто: %u, обновлено: %u, прервано: %u", t.open,
                          t.updated, t.given_up);
    }
    // Boards given up for a cause the technician can act on: they answered and refused, or the
    // PC cannot reach them.
    if (n > 0 && static_cast<size_t>(n) < sizeof text) {
        char* rest = text + n;
        const size_t room = sizeof text - static_cast<size_t>(n);
        if (t.unreachable > 0) {
            std::snprintf(rest, room, " (отказ: %u, пароль: %u, недоступно: %u)", t.refused,
                          t.bad_password, t.unreachable);
        } else if (t.refused + t.bad_password > 0) {
            std::snprintf(rest, room, " (отказ: %u, пароль: %u)", t.refused, t.bad_password);
        }
    }
    const size_t time_columns = text_columns(time);
    const size_t width = width_of(l);
    const size_t lead = text_columns(text) + kGap;
    left(line, text, width > lead + time_columns ? width - time_columns : lead);
    line += time;
}

void more_line(size_t hidden, std::string& line) {
    char text[64];
    std::snprintf(text, sizeof text, "... ещё %zu", hidden);
    line += text;
}

}  // namespace

size_t text_columns(std::string_view utf8) {
    size_t n = 0;
    for (const char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

int render_live_table(const LiveRow* rows, size_t count, const LiveTotals& totals,
                      TerminalSize size, std::string& out) {
    out.clear();
    const int columns = size.columns > 0 ? size.columns : kDefaultColumns;
    const int lines_free = (size.rows > 0 ? size.rows : kDefaultRows) - 2;
    if (columns < 2 || lines_free < 1) return 0;
    const auto limit = static_cast<size_t>(columns - 1);
    // Header, rows, the line of those left out, summary.
    const bool with_rows = count > 0 && lines_free >= 3;
    size_t shown = with_rows ? std::min(count, static_cast<size_t>(lines_free - 2)) : 0;
    if (shown < count && with_rows) shown = static_cast<size_t>(lines_free - 3);
    Cells cells[64];
    shown = std::min(shown, sizeof cells / sizeof cells[0]);
    for (size_t i = 0; i < shown; ++i) cells[i] = cells_of(rows[i]);
    char total_time[32];
    format_time(totals.elapsed_ms, total_time);
    const Layout l = fitted(measure(rows, cells, shown, total_time), limit);
    std::string line;
    int lines = 0;
    if (with_rows) {
        header_line(l, line);
        end_line(out, line, limit);
        for (size_t i = 0; i < shown; ++i) {
            line.clear();
            row_line(l, rows[i], cells[i], line);
            end_line(out, line, limit);
        }
        lines += 1 + static_cast<int>(shown);
        if (shown < count) {
            line.clear();
            more_line(count - shown, line);
            end_line(out, line, limit);
            ++lines;
        }
    }
    line.clear();
    summary_line(l, totals, total_time, line);
    end_line(out, line, limit);
    return lines + 1;
}

}  // namespace qd
