// The journal's line: the text and the platform's line end, handed to the file in one piece,
// after a line end of its own when the file ended in a piece of a line.
#include "platform/journal_file.hpp"

#include <cstdio>
#include <cstring>

namespace qd {

bool JournalFile::open(const char* path, char* reason, size_t cap) {
    if (!open_file(path, reason, cap)) return false;
    char last = '\n';
    mid_line_ = last_byte(last) && last != '\n';
    return true;
}

bool JournalFile::append_line(const char* text, size_t len, char* reason, size_t cap) {
    char line[1024 + 4];  // the longest line the journal makes, and two line ends
    const size_t end = std::strlen(JOURNAL_LINE_END);
    const size_t start = mid_line_ ? end : 0;
    if (start + len + end > sizeof line) {
        std::snprintf(reason, cap, "line too long");
        return false;
    }
    std::memcpy(line, JOURNAL_LINE_END, start);
    std::memcpy(line + start, text, len);
    std::memcpy(line + start + len, JOURNAL_LINE_END, end);
    if (!append(line, start + len + end, reason, cap)) return false;
    mid_line_ = false;
    return true;
}

}  // namespace qd
