// A clock for tests: pauses are added up instead of slept, and the time stands still.
#pragma once

#include <cstdint>

#include "platform/clock.hpp"

namespace qd {

class VirtualClock : public Clock {
public:
    void sleep_ms(uint32_t ms) override { slept_ms_ += ms; }
    LocalTime now() override { return time_; }
    uint64_t monotonic_ms() override { return slept_ms_; }
    uint64_t slept_ms() const { return slept_ms_; }
    void set_time(const LocalTime& t) { time_ = t; }

private:
    uint64_t slept_ms_ = 0;
    LocalTime time_{};
};

}  // namespace qd
