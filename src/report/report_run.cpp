// Reading the journals' files in pieces into the tally, then the report.
#include "report/report_run.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files.hpp"
#include "report/journal_tally.hpp"
#include "report/report_text.hpp"

namespace qd {
namespace {

constexpr size_t kPiece = 64 * 1024;

void read_journal(JournalTally& tally, const std::string& name, std::vector<char>& piece) {
    tally.begin_file(name);
    errno = 0;
    std::FILE* f = open_file(name.c_str(), "rb");
    if (f == nullptr) {
        tally.file_failed(FileState::cannot_open, std::strerror(errno));
        return;
    }
    size_t n = piece.size();
    while (tally.wants_more() && n == piece.size()) {
        n = std::fread(piece.data(), 1, piece.size(), f);
        tally.feed(std::string_view(piece.data(), n));
    }
    if (std::ferror(f) != 0) {
        tally.file_failed(FileState::cannot_read, std::strerror(errno));
    } else {
        tally.end_file();
    }
    std::fclose(f);
}

}  // namespace

int run_report(Console& con, const std::vector<std::string>& files) {
    if (files.empty()) {
        say_line(con, "Не указан журнал: qd-server --report <журнал.csv> [<журнал.csv> ...]");
        return 2;
    }
    JournalTally tally;
    std::vector<char> piece(kPiece);
    for (const std::string& name : files) read_journal(tally, name, piece);
    say_report(con, tally);
    return tally.exit_status();
}

}  // namespace qd
