// The journal's line: the text and the platform's line end, handed to the file in one piece.
#include "platform/journal_file.hpp"

#include <cstdio>
#include <cstring>

namespace qd {

bool JournalFile::append_line(const char* text, size_t len, char* reason, size_t cap) {
    char line[1024];
    const size_t end = std::strlen(JOURNAL_LINE_END);
    if (len + end > sizeof line) {
        std::snprintf(reason, cap, "line too long");
        return false;
    }
    std::memcpy(line, text, len);
    std::memcpy(line + len, JOURNAL_LINE_END, end);
    return append(line, len + end, reason, cap);
}

}  // namespace qd
