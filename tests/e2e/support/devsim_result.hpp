// The last line of qd-devsim's summary, for programs: "result: key=value key=value ...".
//
//     const test::DevsimResult r(device.output());
//     if (r.found() && r.text("jumped") == "1") EXPECT_EQ(r.text("flash_ok"), "1");
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace qd::test {

class DevsimResult {
public:
    // Reads the last line of `console` that starts with "result:"; none when there is none.
    explicit DevsimResult(const std::string& console);

    bool found() const { return found_; }
    // The value of a key, or nothing when the line lacks it.
    std::string text(const std::string& key) const;
    // The value of a key as a decimal number; 0 when the line lacks it or it is no number.
    uint64_t number(const std::string& key) const;
    bool jumped() const { return text("jumped") == "1"; }
    bool flash_ok() const { return text("flash_ok") == "1"; }

private:
    bool found_ = false;
    std::map<std::string, std::string> values_;
};

}  // namespace qd::test
