// What the update journals of one or more PCs say, read line by line: the totals by result,
// overall and by day, each board's last line by time across all files, the boards updated more
// than once, and the damaged lines. Memory grows with the boards, not with the lines. No I/O:
// the files' bytes come in, the figures go out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "report/journal_csv.hpp"

namespace qd {

// How far a file was read.
enum class FileState {
    read,         // to its end, as a journal
    cannot_open,  // reason: the system's
    cannot_read,  // broke off while being read; reason: the system's
    empty,        // no byte, so no header
    not_journal,  // its first line is not the journal's header
};

struct JournalFileInfo {
    std::string name;  // as given
    FileState state = FileState::read;
    std::string reason;
    uint64_t lines = 0;    // journal lines counted (the header not among them)
    uint64_t damaged = 0;  // lines not counted
};

// Why a line is not counted.
enum class Damage {
    cut,          // the file ends inside it: no line end
    field_count,  // another number of fields than the header's
    bad_quotes,   // quotes against CSV's rules
    open_quote,   // a quote not closed on the line
    too_long,     // longer than any journal line
    bad_time,     // the `time` column is no ISO 8601 time with seconds and UTC offset
    no_serial,    // the `serial` column is empty
    no_result,    // the `result` column is empty
};

struct DamagedLine {
    size_t file = 0;  // index into files()
    uint64_t first_line = 0;
    uint64_t last_line = 0;
    Damage damage = Damage::cut;
    size_t fields = 0;  // for field_count
    std::string text;   // for bad_time: the column as it stands, its first 40 bytes
};

// A board's line as the report names it.
struct BoardLine {
    std::string serial;
    std::string time;  // as the journal has it
    std::string result;
    size_t file = 0;
    uint64_t line = 0;
};

struct UpdatedAgain {
    std::string serial;
    uint64_t times = 0;
};

// A result word and how many lines have it.
using ResultCount = std::pair<std::string, uint64_t>;

struct DayTotals {
    std::string day;  // YYYY-MM-DD, the date of the `time` column
    uint64_t lines = 0;
    std::vector<ResultCount> results;  // in report_order()
};

// The results that leave a board done.
bool result_done(std::string_view result);

class JournalTally {
public:
    // The damaged lines kept to be named; beyond them they are only counted.
    static constexpr size_t kDamagedKept = 1000;

    JournalTally();
    JournalTally(const JournalTally&) = delete;
    JournalTally& operator=(const JournalTally&) = delete;

    // The next file, in the order given (the order that breaks ties of time).
    void begin_file(std::string name);
    // Its next bytes.
    void feed(std::string_view bytes);
    // False once the file is seen not to be a journal: the rest of it is not wanted.
    bool wants_more() const;
    // Its end: its last line is taken as it is.
    void end_file();
    // It could not be opened, or broke off while being read (the lines before stay counted).
    void file_failed(FileState state, std::string reason);

    const std::vector<JournalFileInfo>& files() const { return files_; }
    // The journal's columns: the fields of every line.
    size_t columns() const { return columns_; }
    uint64_t lines() const { return lines_; }
    // Results over all lines and by day, in the report's order: updated, jumped, ignored, then
    // the other words alphabetically.
    std::vector<ResultCount> results() const;
    std::vector<DayTotals> days() const;
    size_t boards() const { return boards_.size(); }
    // The boards whose last line is not done, by that line's time.
    std::vector<BoardLine> to_redo() const;
    // The boards with more than one `updated` line, by serial number.
    std::vector<UpdatedAgain> updated_again() const;
    // The first kDamagedKept damaged lines, in file and line order, and how many there are.
    const std::vector<DamagedLine>& damaged() const { return damaged_; }
    uint64_t damaged_count() const { return damaged_count_; }

    // 0 every board done, 1 some board to redo, 2 some file not read as a journal.
    int exit_status() const;

private:
    struct Board {
        int64_t instant = 0;  // seconds since 1970 UTC
        uint32_t file = 0;
        uint64_t line = 0;
        uint32_t result = 0;  // index into result_words_
        uint64_t updated = 0;
        std::array<char, 26> time{};
    };

    void take(const CsvRecord& rec);
    void take_line(const CsvRecord& rec);
    void note_damage(const CsvRecord& rec, Damage damage, std::string text = {});
    uint32_t result_id(const std::string& word);
    std::vector<ResultCount> ordered(const std::vector<uint64_t>& counts) const;

    size_t columns_;
    std::vector<JournalFileInfo> files_;
    std::unique_ptr<CsvSplitter> splitter_;
    bool header_seen_ = false;
    uint64_t lines_ = 0;
    std::vector<std::string> result_words_;
    std::unordered_map<std::string, uint32_t> result_ids_;
    std::vector<uint64_t> totals_;                         // by result id
    std::map<std::string, std::vector<uint64_t>> by_day_;  // by result id
    std::unordered_map<std::string, Board> boards_;
    std::vector<DamagedLine> damaged_;
    uint64_t damaged_count_ = 0;
};

}  // namespace qd
