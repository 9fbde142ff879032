// A console that keeps what is written, for tests.
#pragma once

#include <string>
#include <string_view>

#include "platform/console.hpp"

namespace qd {

class RecordingConsole : public Console {
public:
    void write(std::string_view utf8) override { text_.append(utf8); }
    const std::string& text() const { return text_; }
    void clear() { text_.clear(); }

private:
    std::string text_;
};

}  // namespace qd
