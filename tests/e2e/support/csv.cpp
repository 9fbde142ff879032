// Reading RFC 4180 CSV text record by record, with the faults a writer can make.
#include "support/csv.hpp"

namespace qd::test {
namespace {

class CsvReader {
public:
    CsvReader(const std::string& text, const std::string& line_end)
        : text_(text), end_(line_end) {}

    CsvText read() {
        while (at_ < text_.size() && out_.error.empty()) read_record();
        return out_;
    }

private:
    void fail(const std::string& what) {
        if (out_.error.empty()) out_.error = what + " at byte " + std::to_string(at_);
    }

    bool at_line_end() const { return text_.compare(at_, end_.size(), end_) == 0; }

    void read_record() {
        CsvRecord record;
        for (bool more = true; more && out_.error.empty();) {
            record.push_back(text_[at_] == '"' ? quoted_field() : plain_field());
            more = finish_field();
        }
        out_.records.push_back(record);
    }

    // After a field: true at a comma (another field follows), false at the record's line end.
    bool finish_field() {
        if (!out_.error.empty()) return false;
        if (at_ >= text_.size()) {
            fail("a record without its line end");
            return false;
        }
        if (text_[at_] == ',') {
            ++at_;
            return true;
        }
        if (at_line_end()) {
            at_ += end_.size();
            return false;
        }
        fail(text_[at_] == '\r' || text_[at_] == '\n' ? "a line end other than the file's"
                                                      : "text after a closing quote");
        return false;
    }

    std::string plain_field() {
        std::string field;
        while (at_ < text_.size() && text_[at_] != ',' && !at_line_end()) {
            const char c = text_[at_];
            if (c == '"' || c == '\r' || c == '\n') break;
            field += c;
            ++at_;
        }
        if (at_ < text_.size() && text_[at_] == '"') fail("a quote inside a field without quotes");
        return field;
    }

    std::string quoted_field() {
        std::string field;
        for (++at_; at_ < text_.size(); ++at_) {
            if (text_[at_] != '"') {
                field += text_[at_];
            } else if (at_ + 1 < text_.size() && text_[at_ + 1] == '"') {
                field += '"';
                ++at_;
            } else {
                ++at_;
                return field;
            }
        }
        fail("a quote left open");
        return field;
    }

    const std::string& text_;
    const std::string& end_;
    size_t at_ = 0;
    CsvText out_;
};

}  // namespace

CsvText read_csv(const std::string& text, const std::string& line_end) {
    return CsvReader(text, line_end).read();
}

std::string earlier_journal_lines(size_t bytes, const std::string& serial,
                                  const std::string& line_end) {
    const auto line = [&](size_t digits) {
        return "2026-12-10T13:05:42+03:00," + serial +
               ",198.18.0.9,1,1,7EF40B2C,update,updated,D718226B,D718226B.upk,D718226B," +
               std::string(digits, '7') + ",488,0" + line_end;
    };
    const size_t shortest = line(3).size();
    const size_t lines = bytes / shortest;
    size_t extra = bytes - lines * shortest;
    std::string text;
    for (size_t i = 0; i < lines; ++i) {
        const size_t more = extra < 3 ? extra : 3;
        extra -= more;
        text += line(3 + more);
    }
    return text;
}

}  // namespace qd::test
