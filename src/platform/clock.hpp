// Pauses and the local time: the server's only sources of time.
#pragma once

#include <cstdint>

namespace qd {

struct LocalTime {
    int day = 1;
    int month = 1;  // 1..12
    int year = 1970;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int utc_offset_min = 0;  // local time minus UTC, minutes
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual void sleep_ms(uint32_t ms) = 0;
    virtual LocalTime now() = 0;
    // Milliseconds from an arbitrary start, never going back.
    virtual uint64_t monotonic_ms() = 0;
};

}  // namespace qd
