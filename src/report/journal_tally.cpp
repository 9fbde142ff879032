// The journals' figures, line by line: each line checked, counted by result and day, and kept
// as its board's last line when no line of that board is later.
#include "report/journal_tally.hpp"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>

#include "server/journal/journal.hpp"

namespace qd {
namespace {

// The results that leave a board done, in the order the report puts them first.
constexpr std::array<std::string_view, 3> kDone = {"updated", "jumped", "ignored"};

std::vector<std::string> header_names() {
    std::vector<std::string> names(1);
    for (const char* p = JOURNAL_HEADER; *p != '\0'; ++p) {
        if (*p == ',') {
            names.emplace_back();
        } else {
            names.back() += *p;
        }
    }
    return names;
}

const std::vector<std::string>& header_columns() {
    static const std::vector<std::string> names = header_names();
    return names;
}

size_t column(std::string_view name) {
    const auto& names = header_columns();
    return static_cast<size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

bool digits(std::string_view s, size_t at, size_t n, int& value) {
    value = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to the date, in the proleptic Gregorian calendar.
int64_t days_from_civil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int era = y / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return int64_t{era} * 146097 + doe - 719468;
}

// The UTC offset at `t[19]` ("+03:00", "-05:30" or "Z") in minutes.
bool utc_offset(std::string_view t, int& minutes) {
    if (t.size() == 20 && t[19] == 'Z') {
        minutes = 0;
        return true;
    }
    int h = 0;
    int m = 0;
    if (t.size() != 25 || (t[19] != '+' && t[19] != '-') || !digits(t, 20, 2, h) || t[22] != ':' ||
        !digits(t, 23, 2, m) || h > 23 || m > 59) {
        return false;
    }
    minutes = (h * 60 + m) * (t[19] == '-' ? -1 : 1);
    return true;
}

// "2026-12-10T13:05:42+03:00": the instant it names, in seconds since 1970 UTC.
bool parse_time(std::string_view t, int64_t& instant) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, offset = 0;
    if (t.size() < 20 || !digits(t, 0, 4, y) || t[4] != '-' || !digits(t, 5, 2, mo) ||
        t[7] != '-' || !digits(t, 8, 2, d) || t[10] != 'T' || !digits(t, 11, 2, h) ||
        t[13] != ':' || !digits(t, 14, 2, mi) || t[16] != ':' || !digits(t, 17, 2, s) ||
        !utc_offset(t, offset)) {
        return false;
    }
    if (mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo) || h > 23 || mi > 59 || s > 60) {
        return false;
    }
    instant = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s - int64_t{offset} * 60;
    return true;
}

size_t done_rank(std::string_view word) {
    return static_cast<size_t>(std::find(kDone.begin(), kDone.end(), word) - kDone.begin());
}

// Serial numbers in the order a person counts: runs of digits by their value.
bool natural_less(std::string_view a, std::string_view b) {
    size_t i = 0;
    size_t j = 0;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            size_t ie = i;
            size_t je = j;
            while (ie < a.size() && digit(a[ie])) ++ie;
            while (je < b.size() && digit(b[je])) ++je;
            std::string_view na = a.substr(i, ie - i);
            std::string_view nb = b.substr(j, je - j);
            na.remove_prefix(std::min(na.find_first_not_of('0'), na.size()));
            nb.remove_prefix(std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;
}

}  // namespace

bool result_done(std::string_view result) { return done_rank(result) < kDone.size(); }

JournalTally::JournalTally() : columns_(header_columns().size()) {}

void JournalTally::begin_file(std::string name) {
    files_.push_back(JournalFileInfo{std::move(name), FileState::read, {}, 0, 0});
    header_seen_ = false;
    splitter_ = std::make_unique<CsvSplitter>(columns_, [this](const CsvRecord& r) { take(r); });
}

bool JournalTally::wants_more() const {
    return splitter_ != nullptr && files_.back().state == FileState::read;
}

void JournalTally::feed(std::string_view bytes) {
    if (wants_more()) splitter_->feed(bytes);
}

void JournalTally::end_file() {
    if (wants_more()) splitter_->finish();
    if (!header_seen_ && files_.back().state == FileState::read)
        files_.back().state = FileState::empty;
    splitter_.reset();
}

void JournalTally::file_failed(FileState state, std::string reason) {
    files_.back().state = state;
    files_.back().reason = std::move(reason);
    splitter_.reset();
}

void JournalTally::take(const CsvRecord& rec) {
    JournalFileInfo& f = files_.back();
    if (f.state != FileState::read) return;
    if (header_seen_) {
        take_line(rec);
        return;
    }
    // The header, also when the file ends right after it without its line end.
    header_seen_ = true;
    const bool header = (rec.fault == CsvFault::none || rec.fault == CsvFault::cut) &&
                        rec.fields == header_columns();
    if (!header) f.state = FileState::not_journal;
}

void JournalTally::note_damage(const CsvRecord& rec, Damage damage, std::string text) {
    ++damaged_count_;
    ++files_.back().damaged;
    if (damaged_.size() >= kDamagedKept) return;
    damaged_.push_back(DamagedLine{files_.size() - 1, rec.first_line, rec.last_line, damage,
                                   rec.fields.size(), std::move(text)});
}

void JournalTally::take_line(const CsvRecord& rec) {
    switch (rec.fault) {
        case CsvFault::cut: return note_damage(rec, Damage::cut);
        case CsvFault::bad_quotes: return note_damage(rec, Damage::bad_quotes);
        case CsvFault::open_quote: return note_damage(rec, Damage::open_quote);
        case CsvFault::too_long: return note_damage(rec, Damage::too_long);
        case CsvFault::none: break;
    }
    if (rec.fields.size() != columns_) return note_damage(rec, Damage::field_count);
    static const size_t kTime = column("time");
    static const size_t kSerial = column("serial");
    static const size_t kResult = column("result");
    const std::string& time = rec.fields[kTime];
    const std::string& serial = rec.fields[kSerial];
    const std::string& result = rec.fields[kResult];
    int64_t instant = 0;
    if (!parse_time(time, instant)) return note_damage(rec, Damage::bad_time, time.substr(0, 40));
    if (serial.empty()) return note_damage(rec, Damage::no_serial);
    if (result.empty()) return note_damage(rec, Damage::no_result);

    ++lines_;
    ++files_.back().lines;
    const uint32_t id = result_id(result);
    ++totals_[id];
    std::vector<uint64_t>& day = by_day_[time.substr(0, 10)];
    day.resize(result_words_.size());
    ++day[id];

    auto [it, fresh] = boards_.try_emplace(serial);
    Board& b = it->second;
    // Files come in the order given and lines in theirs: at the same instant the later wins.
    if (fresh || instant >= b.instant) {
        b.instant = instant;
        b.file = static_cast<uint32_t>(files_.size() - 1);
        b.line = rec.first_line;
        b.result = id;
        b.time.fill('\0');
        std::memcpy(b.time.data(), time.data(), time.size());
    }
    if (result == kDone[0]) ++b.updated;
}

uint32_t JournalTally::result_id(const std::string& word) {
    const auto [it, fresh] =
        result_ids_.try_emplace(word, static_cast<uint32_t>(result_words_.size()));
    if (fresh) {
        result_words_.push_back(word);
        totals_.push_back(0);
    }
    return it->second;
}

std::vector<ResultCount> JournalTally::ordered(const std::vector<uint64_t>& counts) const {
    std::vector<ResultCount> out;
    for (size_t id = 0; id < counts.size(); ++id) {
        if (counts[id] > 0) out.emplace_back(result_words_[id], counts[id]);
    }
    std::sort(out.begin(), out.end(), [](const ResultCount& a, const ResultCount& b) {
        return std::make_tuple(done_rank(a.first), a.first) <
               std::make_tuple(done_rank(b.first), b.first);
    });
    return out;
}

std::vector<ResultCount> JournalTally::results() const { return ordered(totals_); }

std::vector<DayTotals> JournalTally::days() const {
    std::vector<DayTotals> out;
    for (const auto& [day, counts] : by_day_) {
        DayTotals t{day, 0, ordered(counts)};
        for (const uint64_t n : counts) t.lines += n;
        out.push_back(std::move(t));
    }
    return out;
}

std::vector<BoardLine> JournalTally::to_redo() const {
    std::vector<std::pair<const std::string*, const Board*>> open;
    for (const auto& [serial, b] : boards_) {
        if (!result_done(result_words_[b.result])) open.emplace_back(&serial, &b);
    }
    std::sort(open.begin(), open.end(), [](const auto& x, const auto& y) {
        return std::make_tuple(x.second->instant, x.second->file, x.second->line) <
               std::make_tuple(y.second->instant, y.second->file, y.second->line);
    });
    std::vector<BoardLine> out;
    for (const auto& [serial, b] : open) {
        out.push_back(
            BoardLine{*serial, b->time.data(), result_words_[b->result], b->file, b->line});
    }
    return out;
}

std::vector<UpdatedAgain> JournalTally::updated_again() const {
    std::vector<UpdatedAgain> out;
    for (const auto& [serial, b] : boards_) {
        if (b.updated > 1) out.push_back(UpdatedAgain{serial, b.updated});
    }
    std::sort(out.begin(), out.end(), [](const UpdatedAgain& a, const UpdatedAgain& b) {
        return natural_less(a.serial, b.serial);
    });
    return out;
}

int JournalTally::exit_status() const {
    for (const JournalFileInfo& f : files_) {
        if (f.state != FileState::read) return 2;
    }
    for (const auto& entry : boards_) {
        if (!result_done(result_words_[entry.second.result])) return 1;
    }
    return 0;
}

}  // namespace qd
