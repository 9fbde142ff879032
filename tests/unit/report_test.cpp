// The report on update journals (qd-server --report): journals of one or more PCs read from
// files, each board's last line by time, the boards to redo, the boards updated again, damaged
// lines, files that are no journal, and the exit status.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "report/journal_tally.hpp"
#include "report/report_run.hpp"
#include "report/report_text.hpp"
#include "server/journal/journal.hpp"
#include "support/recording_console.hpp"
#include "support/temp_dir.hpp"

namespace qd {
namespace {

using Lines = std::vector<std::string>;

// A board's journal line: its time, serial and result, the other columns as the server writes
// them.
std::string line(const std::string& time, const std::string& serial, const std::string& result,
                 const std::string& image = "D718226B.upk") {
    return time + "," + serial + ",198.18.0.2,1,1,7EF40B2C,update," + result + ",D718226B," +
           image + ",D718226B,1912,488,0";
}

// The header and the lines, each ended by `eol`.
std::string journal(const Lines& lines, const std::string& eol = "\n") {
    std::string text = std::string(JOURNAL_HEADER) + eol;
    for (const std::string& l : lines) text += l + eol;
    return text;
}

const std::string kS1 = "0.128.225.1.2.1";
const std::string kS2 = "0.128.225.1.2.2";
const std::string kS3 = "0.128.225.1.2.3";
const std::string kS4 = "0.128.225.1.2.4";
const std::string kS10 = "0.128.225.1.2.10";

// The day 2026-12-10 at the local time `hm` ("10:00") and UTC offset `off` ("+03:00").
std::string at(const std::string& hm, const std::string& off = "+03:00") {
    return "2026-12-10T" + hm + ":00" + off;
}

struct Report {
    int status = -1;
    std::string text;
};

Report report(const Lines& files) {
    RecordingConsole con;
    Report r;
    r.status = run_report(con, files);
    r.text = con.text();
    return r;
}

Lines split_lines(const std::string& text) {
    Lines out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find('\n', pos);
        out.push_back(text.substr(pos, end - pos));
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return out;
}

// The rows under the line that begins with `heading`, up to the next separator, with the
// columns' padding taken out.
Lines section(const std::string& text, const std::string& heading, size_t skip = 0) {
    const Lines all = split_lines(text);
    Lines rows;
    bool in = false;
    for (const std::string& l : all) {
        if (in && l == std::string(56, '-')) break;
        if (in) rows.push_back(std::regex_replace(l.substr(2), std::regex(" {2,}"), " "));
        if (!in && l.rfind(heading, 0) == 0) in = true;
    }
    return Lines(rows.begin() + static_cast<long>(std::min(skip, rows.size())), rows.end());
}

// The first line that begins with `start`.
std::string line_of(const std::string& text, const std::string& start) {
    for (const std::string& l : split_lines(text)) {
        if (l.rfind(start, 0) == 0) return l;
    }
    return "(no line " + start + ")";
}

struct ReportCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;  // name, content
    Lines args;                                              // the files as given
    int status;
    uint64_t counted;  // lines counted
    Lines redo;        // "serial time result file:line"
    Lines again;       // "serial обновлений: n"
    Lines damaged;     // "file:line reason"
    Lines file_rows;   // "file: what was read"
};

void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

class ReportCases : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ReportCases, BoardsLinesAndStatus) {
    const ReportCase& c = GetParam();
    test::TempWorkDir dir;
    for (const auto& [name, content] : c.files) test::write_text(name, content);
    const Report r = report(c.args);
    SCOPED_TRACE(r.text);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(line_of(r.text, "Итоги по результатам: "),
              "Итоги по результатам: строк " + std::to_string(c.counted));
    EXPECT_EQ(section(r.text, "Переделать (", 1), c.redo);
    EXPECT_EQ(section(r.text, "Обновлены больше одного раза: "), c.again);
    EXPECT_EQ(section(r.text, "Повреждённые строки "), c.damaged);
    EXPECT_EQ(section(r.text, "Файлы: "), c.file_rows);
}

const std::string kQuoted = "\"D7,18.upk\"";

// A quote opened by a cut line, and more lines after it than any record can hold: the 100
// boards after it are counted all the same.
std::string many_after_open_quote() {
    Lines lines = {line(at("09:00"), kS1, "updated", "\"D7")};
    for (int n = 0; n < 100; ++n) {
        const std::string serial = "0.0.0.0.1." + std::to_string(n);
        lines.push_back(line(at("10:00"), serial, n == 99 ? "stalled" : "updated"));
    }
    return journal(lines);
}

using Files = std::vector<std::pair<std::string, std::string>>;

// Two PCs with different UTC offsets: 10:30+01:00 is after 12:00+03:00, 11:30+01:00 after
// 12:00+03:00, 05:00-05:00 after 12:30+03:00.
const Files kTwoOffsets = {
    {"x.csv", journal({line(at("12:00"), kS1, "updated"), line(at("12:00"), kS2, "stalled"),
                       line(at("12:30"), kS3, "stalled")})},
    {"y.csv", journal({line(at("10:30", "+01:00"), kS1, "stalled"),
                       line(at("11:30", "+01:00"), kS2, "updated"),
                       line(at("05:00", "-05:00"), kS3, "updated")})}};

// 10:00+03:00 and 08:00+01:00 are the same instant.
const Files kSameInstant = {
    {"x.csv", journal({line(at("10:00"), kS1, "updated"), line(at("10:00"), kS2, "stalled"),
                       line(at("10:00"), kS2, "updated")})},
    {"y.csv", journal({line(at("08:00", "+01:00"), kS1, "stalled")})}};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, ReportCases,
    ::testing::Values(
        // Stalled, refused or interrupted, then updated later: done. Sent to the application or
        // left alone: done too.
        ReportCase{"recovered_boards_are_done",
                   {{"j.csv", journal({line(at("10:00"), kS1, "stalled"),
                                       line(at("10:05"), kS1, "updated"),
                                       line(at("10:01"), kS2, "jumped"),
                                       line(at("10:02"), kS3, "ignored"),
                                       line(at("10:03"), kS4, "device-refused"),
                                       line(at("10:04"), kS4, "interrupted"),
                                       line(at("10:06"), kS4, "updated")})}},
                   {"j.csv"}, 0, 7, {}, {}, {},
                   {"j.csv: строк 7, повреждённых 0"}},
        // The last line by time, not by place in the file; a result the code may not know yet
        // is a word like any other, and not done.
        ReportCase{"boards_to_redo_by_their_last_line",
                   {{"line.csv", journal({line(at("10:00"), kS1, "updated"),
                                          line(at("10:05"), kS1, "verify-failed"),
                                          line(at("10:01"), kS2, "stalled"),
                                          line(at("10:02"), kS3, "unreachable"),
                                          line(at("10:03"), kS4, "updated"),
                                          line(at("09:59"), kS4, "stalled")})}},
                   {"line.csv"}, 1, 6,
                   {kS2 + " " + at("10:01") + " stalled line.csv:4",
                    kS3 + " " + at("10:02") + " unreachable line.csv:5",
                    kS1 + " " + at("10:05") + " verify-failed line.csv:3"},
                   {}, {},
                   {"line.csv: строк 6, повреждённых 0"}},
        ReportCase{"files_merged_by_instant",
                   kTwoOffsets, {"x.csv", "y.csv"}, 1, 6,
                   {kS1 + " " + at("10:30", "+01:00") + " stalled y.csv:2"}, {}, {},
                   {"x.csv: строк 3, повреждённых 0", "y.csv: строк 3, повреждённых 0"}},
        ReportCase{"files_merged_by_instant_in_any_order",
                   kTwoOffsets, {"y.csv", "x.csv"}, 1, 6,
                   {kS1 + " " + at("10:30", "+01:00") + " stalled y.csv:2"}, {}, {},
                   {"y.csv: строк 3, повреждённых 0", "x.csv: строк 3, повреждённых 0"}},
        // At the same instant the file given later wins, and in a file the later line.
        ReportCase{"same_instant_later_file_wins",
                   kSameInstant, {"x.csv", "y.csv"}, 1, 4,
                   {kS1 + " " + at("08:00", "+01:00") + " stalled y.csv:2"}, {}, {},
                   {"x.csv: строк 3, повреждённых 0", "y.csv: строк 1, повреждённых 0"}},
        ReportCase{"same_instant_later_file_wins_other_order",
                   kSameInstant, {"y.csv", "x.csv"}, 0, 4, {}, {}, {},
                   {"y.csv: строк 1, повреждённых 0", "x.csv: строк 3, повреждённых 0"}},
        // A power cut in the last line: even with every field there, no line end is no line.
        ReportCase{"cut_last_line_is_damaged_the_rest_counts",
                   {{"j.csv", journal({line(at("10:00"), kS1, "updated"),
                                       line(at("10:01"), kS2, "stalled")}) +
                                  line(at("10:02"), kS2, "updated")}},
                   {"j.csv"}, 1, 2, {kS2 + " " + at("10:01") + " stalled j.csv:3"}, {},
                   {"j.csv:4 оборвана: нет конца строки"},
                   {"j.csv: строк 2, повреждённых 1"}},
        ReportCase{"wrong_field_counts",
                   {{"j.csv", journal({line(at("10:00"), kS1, "updated"),
                                       line(at("10:01"), kS1, "stalled") + ",extra",
                                       "2026-12-10T10:02:00+03:00," + kS2 + ",198.18.0.2,1",
                                       "",
                                       line(at("10:03"), kS2, "stalled")})}},
                   {"j.csv"}, 1, 2, {kS2 + " " + at("10:03") + " stalled j.csv:6"}, {},
                   {"j.csv:3 полей 15 вместо 14", "j.csv:4 полей 4 вместо 14",
                    "j.csv:5 полей 1 вместо 14"},
                   {"j.csv: строк 2, повреждённых 3"}},
        // A comma and doubled quotes in quoted fields, and a line break in one: the line after
        // it is named by its own number.
        ReportCase{"quoted_fields",
                   {{"q.csv", journal({line(at("10:00"), kS1, "updated", kQuoted),
                                       line(at("10:01"), kS2, "updated", "\"say \"\"x\"\".upk\""),
                                       line(at("10:02"), kS3, "updated", "\"two\nlines\""),
                                       line(at("10:03"), kS4, "stalled", kQuoted)})}},
                   {"q.csv"}, 1, 4, {kS4 + " " + at("10:03") + " stalled q.csv:6"}, {}, {},
                   {"q.csv: строк 4, повреждённых 0"}},
        // A power cut inside a quoted field, the next run's line written on after it: that line
        // is lost, the lines after it are read on their own.
        ReportCase{"broken_quotes_lose_their_line_only",
                   {{"b.csv", journal({line(at("10:00"), kS1, "updated"),
                                       "2026-12-10T10:01:00+03:00," + kS2 + ",198.18.0.2,1,1,"
                                       "7EF40B2C,update,updated,D718226B,\"D7" +
                                           line(at("10:02"), kS3, "updated"),
                                       line(at("10:03"), kS2, "stalled"),
                                       line(at("10:04"), kS3, "updated", "D7\"18.upk"),
                                       line(at("10:05"), kS4, "stalled", "\"D7\"x")})}},
                   {"b.csv"}, 1, 2, {kS2 + " " + at("10:03") + " stalled b.csv:4"}, {},
                   {"b.csv:3 кавычка не закрыта в этой строке",
                    "b.csv:5 кавычки не по правилам CSV", "b.csv:6 кавычки не по правилам CSV"},
                   {"b.csv: строк 2, повреждённых 3"}},
        ReportCase{"open_quote_before_more_than_a_record",
                   {{"m.csv", many_after_open_quote()}},
                   {"m.csv"}, 1, 100, {"0.0.0.0.1.99 " + at("10:00") + " stalled m.csv:102"}, {},
                   {"m.csv:2 кавычка не закрыта в этой строке"},
                   {"m.csv: строк 100, повреждённых 1"}},
        ReportCase{"fields_that_cannot_be_taken",
                   {{"j.csv", journal({line("2026-13-10T10:00:00+03:00", kS1, "stalled"),
                                       line("2026-12-10T10:00:00", kS1, "stalled"),
                                       line("2026-02-29T10:00:00+03:00", kS1, "stalled"),
                                       line(at("10:00"), "", "stalled"),
                                       line(at("10:00"), kS1, ""),
                                       std::string(9000, 'x'),
                                       line("2028-02-29T10:00:00Z", kS1, "updated")})}},
                   {"j.csv"}, 0, 1, {}, {},
                   {"j.csv:2 время не читается: \"2026-13-10T10:00:00+03:00\"",
                    "j.csv:3 время не читается: \"2026-12-10T10:00:00\"",
                    "j.csv:4 время не читается: \"2026-02-29T10:00:00+03:00\"",
                    "j.csv:5 пустой серийный номер (serial)", "j.csv:6 пустой результат (result)",
                    "j.csv:7 длиннее 8192 байт"},
                   {"j.csv: строк 1, повреждённых 6"}},
        // A journal from a Windows PC: CR LF; its cut last line ends between CR and LF.
        ReportCase{"crlf_line_ends",
                   {{"w.csv", journal({line(at("10:00"), kS1, "stalled", kQuoted),
                                       line(at("10:01"), kS2, "updated")},
                                      "\r\n") +
                                  line(at("10:02"), kS1, "updated") + "\r"}},
                   {"w.csv"}, 1, 2, {kS1 + " " + at("10:00") + " stalled w.csv:2"}, {},
                   {"w.csv:4 оборвана: нет конца строки"},
                   {"w.csv: строк 2, повреждённых 1"}},
        ReportCase{"updated_more_than_once",
                   {{"a.csv", journal({line(at("10:00"), kS1, "updated"),
                                       line(at("10:01"), kS10, "updated"),
                                       line(at("10:02"), kS2, "updated"),
                                       line(at("10:03"), kS3, "updated"),
                                       line(at("10:04"), kS3, "stalled")})},
                    {"b.csv", journal({line(at("11:00"), kS1, "updated"),
                                       line(at("11:01"), kS10, "updated"),
                                       line(at("11:02"), kS2, "updated"),
                                       line(at("11:03"), kS1, "updated")})}},
                   {"a.csv", "b.csv"}, 1, 9, {kS3 + " " + at("10:04") + " stalled a.csv:6"},
                   {kS1 + " обновлений: 3", kS2 + " обновлений: 2", kS10 + " обновлений: 2"}, {},
                   {"a.csv: строк 5, повреждённых 0", "b.csv: строк 4, повреждённых 0"}},
        // Not a journal, empty, cut in its header: said, and what could be read is reported all
        // the same.
        ReportCase{"file_that_is_not_a_journal",
                   {{"notes.csv", "name,phone\nx,y\n"},
                    {"j.csv", journal({line(at("10:00"), kS1, "stalled")})}},
                   {"notes.csv", "j.csv"}, 2, 1, {kS1 + " " + at("10:00") + " stalled j.csv:2"},
                   {}, {},
                   {"notes.csv: не журнал обновлений: первая строка не заголовок журнала",
                    "j.csv: строк 1, повреждённых 0"}},
        ReportCase{"header_cut_is_no_journal",
                   {{"cut.csv", std::string(JOURNAL_HEADER).substr(0, 40)},
                    {"empty.csv", ""},
                    {"j.csv", journal({line(at("10:00"), kS1, "updated")})}},
                   {"cut.csv", "empty.csv", "j.csv"}, 2, 1, {}, {}, {},
                   {"cut.csv: не журнал обновлений: первая строка не заголовок журнала",
                    "empty.csv: пуст: это не журнал обновлений",
                    "j.csv: строк 1, повреждённых 0"}},
        ReportCase{"header_alone_is_an_empty_journal",
                   {{"h.csv", std::string(JOURNAL_HEADER)}},
                   {"h.csv"}, 0, 0, {}, {}, {}, {"h.csv: строк 0, повреждённых 0"}}),
    [](const auto& p) { return std::string(p.param.name); });
// clang-format on

// A file that is not there: named with the system's reason, the others read, status 2.
TEST(Report, MissingFileIsNamed) {
    test::TempWorkDir dir;
    test::write_text("j.csv", journal({line(at("10:00"), kS1, "updated")}));
    const Report r = report({"j.csv", "missing.csv"});
    EXPECT_EQ(r.status, 2);
    const Lines rows = section(r.text, "Файлы: ");
    ASSERT_EQ(rows.size(), 2u) << r.text;
    EXPECT_EQ(rows[0], "j.csv: строк 1, повреждённых 0");
    EXPECT_EQ(rows[1].rfind("missing.csv: не открывается: ", 0), 0u) << rows[1];
    EXPECT_GT(rows[1].size(), std::string("missing.csv: не открывается: ").size());
    EXPECT_EQ(line_of(r.text, "Итог:"),
              "Итог: отчёт неполный, не прочитано файлов: 1; переделать плат: 0");
}

TEST(Report, NoFileNamed) {
    const Report r = report({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.text, "Не указан журнал: qd-server --report <журнал.csv> [<журнал.csv> ...]\n");
}

// The whole report of two PCs' journals on two days, one of them with a cut line, beside a file
// that is not a journal.
TEST(Report, WholeReport) {
    test::TempWorkDir dir;
    test::write_text("line-1.csv",
                     journal({line(at("13:05"), "0.128.225.1.2.255", "updated"),
                              line(at("13:06"), "0.128.225.1.2.7", "ignored"),
                              line(at("13:07"), "0.128.225.1.2.9", "verify-failed"),
                              line("2026-12-11T01:00:00+03:00", "0.128.225.1.2.20", "jumped")}));
    test::write_text(
        "line-2.csv",
        journal({line(at("11:00", "+01:00"), "0.128.225.1.2.9", "updated", kQuoted),
                 line("2026-12-11T09:00:00+01:00", "0.128.225.1.2.255", "updated"),
                 line("2026-12-11T09:01:00+01:00", "0.128.225.1.2.11", "device-refused")},
                "\r\n") +
            "2026-12-11T09:02:00+01:00,0.128.225.1.2.12,198.18.0.2,1,1,7EF40B2C,upd");
    test::write_text("notes.txt", "shift 2\n");
    const Report r = report({"line-2.csv", "line-1.csv", "notes.txt"});
    EXPECT_EQ(r.status, 2);
    const std::string sep = std::string(56, '-') + "\n";
    EXPECT_EQ(r.text,
              "Отчёт по журналам обновлений\n"
              "Файлы: 3\n"
              "  line-2.csv: строк 3, повреждённых 1\n"
              "  line-1.csv: строк 4, повреждённых 0\n"
              "  notes.txt: не журнал обновлений: первая строка не заголовок журнала\n" +
                  sep +
                  "Итоги по результатам: строк 7\n"
                  "  updated         3\n"
                  "  jumped          1\n"
                  "  ignored         1\n"
                  "  device-refused  1\n"
                  "  verify-failed   1\n"
                  "По дням:\n"
                  "  2026-12-10: строк 4; updated 2, ignored 1, verify-failed 1\n"
                  "  2026-12-11: строк 3; updated 1, jumped 1, device-refused 1\n" +
                  sep +
                  "Платы: всего 5, готовы 3, переделать 2\n"
                  "Переделать (последняя строка платы не updated, jumped или ignored):\n"
                  "  Сер. номер        Время                      Результат       Файл:строка\n"
                  "  0.128.225.1.2.9   2026-12-10T13:07:00+03:00  verify-failed   line-1.csv:4\n"
                  "  0.128.225.1.2.11  2026-12-11T09:01:00+01:00  device-refused  line-2.csv:4\n" +
                  sep +
                  "Обновлены больше одного раза: 1\n"
                  "  0.128.225.1.2.255  обновлений: 2\n" +
                  sep +
                  "Повреждённые строки (не учтены): 1\n"
                  "  line-2.csv:5  оборвана: нет конца строки\n" +
                  sep + "Итог: отчёт неполный, не прочитано файлов: 1; переделать плат: 2\n");
}

// However the bytes come, in one piece or one by one, the records and the report are the same.
TEST(Report, BytesInAnyPiecesGiveTheSameReport) {
    const std::string text =
        journal({line(at("10:00"), kS1, "stalled", kQuoted),
                 line(at("10:01"), kS2, "updated", "\"a\r\nb\"\"c\""),
                 line(at("10:02"), kS3, "updated", "\"D7") + line(at("10:03"), kS3, "stalled"),
                 line(at("10:04"), kS4, "jumped")},
                "\r\n") +
        line(at("10:05"), kS1, "updated") + "\r";
    auto report_of = [&](size_t piece) {
        JournalTally tally;
        tally.begin_file("p.csv");
        for (size_t at = 0; at < text.size(); at += piece) {
            tally.feed(std::string_view(text).substr(at, piece));
        }
        tally.end_file();
        RecordingConsole con;
        say_report(con, tally);
        return con.text();
    };
    const std::string whole = report_of(text.size());
    EXPECT_NE(whole.find("p.csv: строк 3, повреждённых 2"), std::string::npos) << whole;
    for (const size_t piece : {1u, 2u, 3u, 7u, 64u}) EXPECT_EQ(report_of(piece), whole) << piece;
}

// Damaged lines past the ones kept are counted, not named: memory does not grow with them.
TEST(Report, DamagedLinesPastTheKeptOnesAreCounted) {
    std::string text = journal({});
    const size_t extra = 3;
    for (size_t i = 0; i < JournalTally::kDamagedKept + extra; ++i) text += "junk\n";
    JournalTally tally;
    tally.begin_file("junk.csv");
    tally.feed(text);
    tally.end_file();
    EXPECT_EQ(tally.damaged().size(), JournalTally::kDamagedKept);
    EXPECT_EQ(tally.damaged_count(), JournalTally::kDamagedKept + extra);
    RecordingConsole con;
    say_report(con, tally);
    const Lines rows = section(con.text(), "Повреждённые строки ");
    ASSERT_EQ(rows.size(), JournalTally::kDamagedKept + 1);
    EXPECT_EQ(rows.front(), "junk.csv:2 полей 1 вместо 14");
    EXPECT_EQ(rows.back(), "... ещё 3");
}

}  // namespace
}  // namespace qd
