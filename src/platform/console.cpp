// The console writer: printf-style messages, held messages written as one.
#include "platform/console.hpp"

#include <cstdarg>
#include <cstdio>

namespace qd {

void Console::release() {
    if (held_ > 0) --held_;
    if (held_ == 0) flush_held();
}

void Console::flush_held() {
    if (pending_.empty()) return;
    write(pending_);
    pending_.clear();
}

void Console::put(std::string_view utf8) {
    if (held_ > 0) {
        pending_.append(utf8);
    } else {
        write(utf8);
    }
}

void say(Console& con, const char* fmt, ...) {
    char small[512];
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(small, sizeof small, fmt, args);
    va_end(args);
    if (needed < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(needed) < sizeof small) {
        va_end(again);
        con.put(std::string_view(small, static_cast<size_t>(needed)));
        return;
    }
    std::string large(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(large.data(), large.size(), fmt, again);
    va_end(again);
    large.resize(static_cast<size_t>(needed));
    con.put(large);
}

void say_line(Console& con, std::string_view text) {
    say(con, "%.*s\n", static_cast<int>(text.size()), text.data());
}

void say_separator(Console& con) {
    say_line(con, "--------------------------------------------------------");
}

}  // namespace qd
