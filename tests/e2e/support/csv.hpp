// A small reader of CSV files as RFC 4180 writes them, for checking the update journal.
//
//     const test::CsvText csv = test::read_csv(text, "\n");
//     ASSERT_EQ(csv.error, "");
//     for (const test::CsvRecord& r : csv.records) ...
#pragma once

#include <string>
#include <vector>

namespace qd::test {

using CsvRecord = std::vector<std::string>;

struct CsvText {
    std::vector<CsvRecord> records;
    // Nothing when every record ends with the line end given and the quotes are well formed;
    // otherwise the first fault and the byte offset where it was found.
    std::string error;
};

// The records of `text`, whose records end with `line_end` ("\n" or "\r\n"): fields are
// separated by commas; a field in double quotes may hold commas, line ends and doubled quotes.
// A carriage return or line feed outside quotes that is not part of `line_end`, a quote inside
// a field without quotes, text after a closing quote, an open quote at the end, and a last
// record without its line end are faults.
CsvText read_csv(const std::string& text, const std::string& line_end);

// Whole journal lines of an earlier run, of board `serial`, each ended by `line_end`, `bytes` in
// all (as near as whole lines allow): their durations have 3 to 6 digits, so that they fill the
// room given.
std::string earlier_journal_lines(size_t bytes, const std::string& serial,
                                  const std::string& line_end);

}  // namespace qd::test
