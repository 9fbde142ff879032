// The device side of the network: one UDP socket bound to a device's own address and port,
// allowed to broadcast, that waits a bounded time for what comes in. Used by the simulated
// device; the server keeps to its own seam (net.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qd {

using Ipv4 = std::array<uint8_t, 4>;  // first octet first, as in dotted text

struct Datagram {
    std::vector<uint8_t> bytes;
    Ipv4 from{};
    uint16_t from_port = 0;
};

class DatagramEndpoint {
public:
    virtual ~DatagramEndpoint() = default;
    // Sends one datagram; false when the system refuses it.
    virtual bool send_to(const std::vector<uint8_t>& bytes, const Ipv4& to, uint16_t port) = 0;
    // The next datagram, waiting at most timeout_ms for it; nothing when none came.
    virtual std::optional<Datagram> receive(uint32_t timeout_ms) = 0;
};

// A socket bound to local:port that may send broadcasts. Nothing, with the system's reason in
// `error`, when it cannot be had (for example when the address is not one of this host's).
std::unique_ptr<DatagramEndpoint> open_datagram_endpoint(const Ipv4& local, uint16_t port,
                                                         std::string& error);

}  // namespace qd
