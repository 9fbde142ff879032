// A clock for tests: pauses are added up instead of slept, and the time stands still.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/clock.hpp"

namespace qd {

class VirtualClock : public Clock {
public:
    void sleep_ms(uint32_t ms) override {
        slept_ms_ += ms;
        if (after_wait) after_wait();
    }
    LocalTime now() override { return time_; }
    uint64_t monotonic_ms() override { return slept_ms_; }
    uint64_t slept_ms() const { return slept_ms_; }
    void set_time(const LocalTime& t) { time_ = t; }

    // Run at the end of each wait, as the end from outside is acted on after each: a pause, or
    // the wait of the fake network for a datagram.
    std::function<void()> after_wait;

private:
    uint64_t slept_ms_ = 0;
    LocalTime time_{};
};

}  // namespace qd
