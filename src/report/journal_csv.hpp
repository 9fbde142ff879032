// The journal's CSV (RFC 4180) split into records as its bytes come: quoted fields with commas,
// doubled quotes and line breaks, LF or CR LF line ends, and the damage a power cut or an editor
// leaves, each record named by its physical line numbers. No I/O: bytes in, records out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qd {

// What is wrong with a record as CSV.
enum class CsvFault {
    none,
    cut,         // the file ends without its line end (a power cut in the middle of the line)
    bad_quotes,  // a quote inside an unquoted field, or text after a closing quote
    open_quote,  // a quote opened on this line is not closed on it, and the record it starts
                 // is not a whole one: the next lines are read as records of their own
    too_long,    // longer than kMaxRecord bytes: skipped to its line end
};

struct CsvRecord {
    std::vector<std::string> fields;  // empty for open_quote and too_long
    uint64_t first_line = 0;          // physical lines, from 1
    uint64_t last_line = 0;
    CsvFault fault = CsvFault::none;
};

class CsvSplitter {
public:
    // No record is longer than this; a journal line is far shorter.
    static constexpr size_t kMaxRecord = 8192;
    using Take = std::function<void(const CsvRecord&)>;

    // Records of `fields` fields are expected: a record that spans lines (a quoted line break)
    // counts as one only when it has that many and no fault; otherwise its first line is the
    // damaged one and the lines after it are read again on their own, so that one broken quote
    // never swallows the rest of a file.
    CsvSplitter(size_t fields, Take take);

    // The next bytes of the file; every record completed by them goes to `take`.
    void feed(std::string_view bytes);
    // The end of the file: what is left is its last record.
    void finish();

private:
    void drain(bool at_end);
    // One record from the front of `rest`: the bytes it takes, or 0 when more are needed.
    size_t parse(std::string_view rest, bool at_end);
    // The line pending_ starts on, alone, as a damaged record.
    void emit_line_fault(CsvFault fault);

    size_t expected_;
    Take take_;
    std::string pending_;    // bytes not yet taken into a record
    uint64_t line_ = 1;      // the physical line pending_ starts on
    bool skipping_ = false;  // dropping a too-long line up to its end
    CsvRecord rec_;
    uint64_t rec_breaks_ = 0;  // line breaks inside rec_'s quoted fields
};

}  // namespace qd
