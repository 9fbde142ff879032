// Splitting the journal's CSV into records, line by line as the bytes come.
#include "report/journal_csv.hpp"

#include <utility>

namespace qd {

CsvSplitter::CsvSplitter(size_t fields, Take take) : expected_(fields), take_(std::move(take)) {}

void CsvSplitter::feed(std::string_view bytes) {
    pending_.append(bytes);
    drain(false);
}

void CsvSplitter::finish() {
    drain(true);
    pending_.clear();
}

void CsvSplitter::emit_line_fault(CsvFault fault) {
    rec_.fields.clear();
    rec_.fault = fault;
    rec_.first_line = line_;
    rec_.last_line = line_;
    take_(rec_);
}

void CsvSplitter::drain(bool at_end) {
    size_t pos = 0;
    while (pos < pending_.size()) {
        const std::string_view rest(pending_.data() + pos, pending_.size() - pos);
        const size_t eol = rest.find('\n');
        if (skipping_) {
            if (eol == std::string_view::npos) {
                pos = pending_.size();
                break;
            }
            pos += eol + 1;
            ++line_;
            skipping_ = false;
            continue;
        }
        const size_t used = parse(rest, at_end);
        if (used == 0 && rest.size() <= kMaxRecord) break;  // the record goes on in later bytes
        if (used == 0 || used > kMaxRecord) {
            if (eol != std::string_view::npos && eol < kMaxRecord) {
                // A quote opened on the first line runs past the longest record.
                emit_line_fault(CsvFault::open_quote);
                pos += eol + 1;
                ++line_;
            } else {
                emit_line_fault(CsvFault::too_long);
                skipping_ = eol == std::string_view::npos;
                pos += skipping_ ? rest.size() : eol + 1;
                if (!skipping_) ++line_;
            }
            continue;
        }
        if (rec_breaks_ > 0 && (rec_.fault != CsvFault::none || rec_.fields.size() != expected_)) {
            emit_line_fault(CsvFault::open_quote);
            pos += eol + 1;
            ++line_;
            continue;
        }
        rec_.first_line = line_;
        rec_.last_line = line_ + rec_breaks_;
        take_(rec_);
        line_ += rec_breaks_ + 1;
        pos += used;
    }
    pending_.erase(0, pos);
}

size_t CsvSplitter::parse(std::string_view s, bool at_end) {
    rec_.fields.assign(1, std::string());
    rec_.fault = CsvFault::none;
    rec_breaks_ = 0;
    bool quoted = false;   // inside a quoted field
    bool started = false;  // the field has begun (a character or its opening quote)
    bool closed = false;   // the field's closing quote has been read
    // A record not ended in `s` is parsed again from its start when more bytes come: a quote or
    // a CR at the end of `s` is then seen with the byte after it.
    size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        const bool last = i + 1 == s.size();
        if (quoted) {
            if (c == '"') {
                if (!last && s[i + 1] == '"') {
                    rec_.fields.back() += '"';
                    i += 2;
                    continue;
                }
                quoted = false;
                closed = true;
            } else {
                if (c == '\n') ++rec_breaks_;
                rec_.fields.back() += c;
            }
            ++i;
            continue;
        }
        if (c == '\n') return i + 1;
        if (c == '\r' && !last && s[i + 1] == '\n') return i + 2;
        if (c == ',') {
            rec_.fields.emplace_back();
            started = closed = false;
        } else if (c == '"' && !started) {
            quoted = started = true;
        } else {
            if (c == '"' || closed) rec_.fault = CsvFault::bad_quotes;
            rec_.fields.back() += c;
            started = true;
        }
        ++i;
    }
    if (!at_end || s.empty()) return 0;
    rec_.fault = CsvFault::cut;
    return s.size();
}

}  // namespace qd
