// A device's serial number, its MAC, as the servers' lines and the journal write it.
#pragma once

#include <cstdint>
#include <cstdio>

namespace qd {

// The six bytes of a serial number as dotted decimals, e.g. "0.128.225.1.2.255".
struct SerialText {
    char text[24];  // "255.255.255.255.255.255" and its end

    const char* c_str() const { return text; }
};

inline SerialText serial_text(const uint8_t mac[6]) {
    SerialText s{};
    std::snprintf(s.text, sizeof s.text, "%u.%u.%u.%u.%u.%u", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    return s;
}

}  // namespace qd
