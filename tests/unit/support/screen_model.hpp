// A terminal's screen for tests: what a person sees after the bytes a program wrote, for the few
// sequences the live view uses. A line end is taken as a terminal behind a tty gets it (LF as
// CR LF); a character in the last column leaves the cursor there until the next one wraps.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qd::test {

class ScreenModel {
public:
    ScreenModel(int columns, int rows);

    // UTF-8 text, CR, LF, and the sequences ESC [ n A (up), ESC [ J and ESC [ K (clear to the
    // end of the screen and of the line), ESC [ ? 25 l and h (cursor hidden and shown). Any
    // other control or sequence is noted in error().
    void feed(std::string_view bytes);
    // A narrower or wider, shorter or taller screen: lines cut or filled at their ends, the top
    // lines scrolled off when it gets shorter.
    void resize(int columns, int rows);

    // The screen's lines, blanks at their ends removed.
    std::vector<std::string> lines() const;
    // The lines scrolled off the top, oldest first.
    const std::vector<std::string>& scrolled() const { return scrolled_; }
    int cursor_row() const { return row_; }
    int cursor_column() const { return column_; }
    bool cursor_shown() const { return shown_; }
    const std::string& error() const { return error_; }

private:
    void put(const std::string& ch);
    void line_feed();
    void sequence(std::string_view params, char final);
    std::string line_text(int row) const;

    int columns_;
    int rows_;
    std::vector<std::vector<std::string>> cells_;
    std::vector<std::string> scrolled_;
    int row_ = 0;
    int column_ = 0;
    bool wrap_pending_ = false;
    bool shown_ = true;
    std::string error_;
};

}  // namespace qd::test
