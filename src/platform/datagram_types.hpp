// What moves through the device side's sockets: addresses and datagrams.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qd {

using Ipv4 = std::array<uint8_t, 4>;  // first octet first, as in dotted text

struct Datagram {
    std::vector<uint8_t> bytes;
    Ipv4 from{};
    uint16_t from_port = 0;
};

// The most sockets one set holds (what the Windows wait takes at once).
inline constexpr size_t MAX_DATAGRAM_ENDPOINTS = 64;

}  // namespace qd
