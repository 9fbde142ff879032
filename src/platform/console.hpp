// The one writer of operator output. Texts are UTF-8 in the source; the console in use turns
// them into the bytes its reader expects and flushes every message as it is written.
#pragma once

#include <string>
#include <string_view>

// The format checking of the printf family that the program's C library follows (on Windows the
// C99 one of mingw-w64, chosen with __USE_MINGW_ANSI_STDIO).
#if defined(__MINGW32__)
#define QD_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define QD_PRINTF_FORMAT printf
#endif

namespace qd {

class Console {
public:
    virtual ~Console() = default;
    // Writes one message (UTF-8) and flushes it.
    virtual void write(std::string_view utf8) = 0;

    // Messages put from hold() to release() go out as one write there, so that no other
    // writer's text comes between them; outside, each message goes out as it is put.
    void hold() { ++held_; }
    void release();
    // Writes what is held now, for an end of the program in the middle of a hold.
    void flush_held();
    // What say() and say_line() write through.
    void put(std::string_view utf8);

private:
    int held_ = 0;
    std::string pending_;
};

// printf-style message, written as one piece.
void say(Console& con, const char* fmt, ...) __attribute__((format(QD_PRINTF_FORMAT, 2, 3)));

// A text printed as a line of its own: the text, then a line end.
void say_line(Console& con, std::string_view text);

// The separator: 56 '-' as a line of its own.
void say_separator(Console& con);

}  // namespace qd
