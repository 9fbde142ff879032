// The update journal's file: lines appended whole and synced to disk, one at a time.
#pragma once

#include <cstddef>

namespace qd {

class JournalFile {
public:
    virtual ~JournalFile() = default;
    // Opens the file of a UTF-8 name for appending, creating it when missing; false, with the
    // system's reason in `reason` (UTF-8, cut to cap), when it cannot be had. A file that ends
    // in the middle of a line (cut by a power failure, say) keeps that piece as a line of its
    // own: the first line appended starts on a new line.
    bool open(const char* path, char* reason, size_t cap);
    // The open file holds nothing yet.
    virtual bool empty() = 0;
    // Appends the text and the platform's line end (CR LF on Windows, LF elsewhere) in one
    // write, then syncs the file to disk. False, with the reason, when any of it failed; what a
    // failed write left of the line is taken back, so the file ends with a whole line as before.
    bool append_line(const char* text, size_t len, char* reason, size_t cap);
    virtual void close() = 0;

protected:
    // Opens the file as open() says, without looking at what it holds.
    virtual bool open_file(const char* path, char* reason, size_t cap) = 0;
    // The open file's last byte; false when the file is empty or that byte cannot be read.
    virtual bool last_byte(char& byte) = 0;
    // Appends the bytes at the end of the file in one write and syncs the file; false, with the
    // reason, on failure, and then whatever the write added to the file is taken back.
    virtual bool append(const char* bytes, size_t len, char* reason, size_t cap) = 0;

private:
    bool mid_line_ = false;  // the file ends in a piece of a line
};

#ifdef _WIN32
inline constexpr const char* JOURNAL_LINE_END = "\r\n";
#else
inline constexpr const char* JOURNAL_LINE_END = "\n";
#endif

// The platform's journal file.
JournalFile& system_journal_file();

}  // namespace qd
