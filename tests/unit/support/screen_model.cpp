// The test screen: a grid of characters, a cursor, and the lines scrolled off its top.
#include "support/screen_model.hpp"

#include <algorithm>
#include <cstdlib>

namespace qd::test {
namespace {

size_t char_length(unsigned char lead) {
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 1;
}

// A blank cell is an empty one.
void clear_cells(std::vector<std::string>::iterator from, std::vector<std::string>::iterator to) {
    for (; from != to; ++from) from->clear();
}

}  // namespace

ScreenModel::ScreenModel(int columns, int rows)
    : columns_(columns),
      rows_(rows),
      cells_(static_cast<size_t>(rows), std::vector<std::string>(static_cast<size_t>(columns))) {}

void ScreenModel::line_feed() {
    if (row_ + 1 < rows_) {
        ++row_;
        return;
    }
    scrolled_.push_back(line_text(0));
    cells_.erase(cells_.begin());
    cells_.emplace_back(static_cast<size_t>(columns_));
}

void ScreenModel::put(const std::string& ch) {
    if (wrap_pending_) {
        column_ = 0;
        line_feed();
        wrap_pending_ = false;
    }
    cells_[static_cast<size_t>(row_)][static_cast<size_t>(column_)] = ch;
    if (column_ + 1 < columns_) {
        ++column_;
    } else {
        wrap_pending_ = true;
    }
}

void ScreenModel::sequence(std::string_view params, char final) {
    wrap_pending_ = false;
    auto& line = cells_[static_cast<size_t>(row_)];
    if (final == 'A' && params.find_first_not_of("0123456789") == std::string_view::npos) {
        const int n = params.empty() ? 1 : std::atoi(std::string(params).c_str());
        row_ = std::max(0, row_ - std::max(1, n));
    } else if (final == 'J' && params.empty()) {
        clear_cells(line.begin() + column_, line.end());
        for (size_t r = static_cast<size_t>(row_) + 1; r < cells_.size(); ++r) {
            clear_cells(cells_[r].begin(), cells_[r].end());
        }
    } else if (final == 'K' && params.empty()) {
        clear_cells(line.begin() + column_, line.end());
    } else if (params == "?25" && (final == 'l' || final == 'h')) {
        shown_ = final == 'h';
    } else if (error_.empty()) {
        error_ = "unknown sequence ESC [" + std::string(params) + final;
    }
}

void ScreenModel::feed(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\x1b') {
            size_t end = i + 2;
            if (i + 1 >= bytes.size() || bytes[i + 1] != '[') {
                if (error_.empty()) error_ = "ESC without [";
                ++i;
                continue;
            }
            while (end < bytes.size() && (bytes[end] < 0x40 || bytes[end] > 0x7E)) ++end;
            if (end >= bytes.size()) {
                if (error_.empty()) error_ = "sequence cut short";
                return;
            }
            sequence(bytes.substr(i + 2, end - i - 2), bytes[end]);
            i = end + 1;
        } else if (c == '\n') {
            wrap_pending_ = false;
            column_ = 0;
            line_feed();
            ++i;
        } else if (c == '\r') {
            wrap_pending_ = false;
            column_ = 0;
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            if (error_.empty()) error_ = "control character " + std::to_string(c);
            ++i;
        } else {
            const size_t n = std::min(char_length(c), bytes.size() - i);
            put(std::string(bytes.substr(i, n)));
            i += n;
        }
    }
}

void ScreenModel::resize(int columns, int rows) {
    while (rows < static_cast<int>(cells_.size()) && row_ > 0) {
        scrolled_.push_back(line_text(0));
        cells_.erase(cells_.begin());
        --row_;
    }
    cells_.resize(static_cast<size_t>(rows), std::vector<std::string>(static_cast<size_t>(columns_)));
    for (auto& line : cells_) line.resize(static_cast<size_t>(columns));
    columns_ = columns;
    rows_ = rows;
    row_ = std::min(row_, rows - 1);
    column_ = std::min(column_, columns - 1);
    wrap_pending_ = false;
}

std::string ScreenModel::line_text(int row) const {
    std::string text;
    for (const std::string& ch : cells_[static_cast<size_t>(row)]) text += ch.empty() ? " " : ch;
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

std::vector<std::string> ScreenModel::lines() const {
    std::vector<std::string> out;
    for (int r = 0; r < rows_; ++r) out.push_back(line_text(r));
    return out;
}

}  // namespace qd::test
