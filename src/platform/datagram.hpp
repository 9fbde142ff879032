// The device side of the network: UDP sockets bound to the devices' own addresses and port,
// allowed to broadcast, that wait a bounded time for what comes in. Used by the simulated
// device; the server keeps to its own seam (net.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/datagram_types.hpp"

namespace qd {

// One device's socket. This is not the server's Net: Net is shaped after the server's use of
// Windows Sockets 1.1 (numbered sockets bound to every local address, one socket waited on at
// a time), while a device binds one given address, answers to where each command came from,
// and a rack of them waits on all its sockets at once (DatagramEndpoints below).
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

// A datagram and the number (from 0) of the socket it came to.
struct Arrival {
    size_t socket = 0;
    Datagram datagram;
};

// Several devices' sockets, one per local address, waited on together in one thread.
class DatagramEndpoints {
public:
    virtual ~DatagramEndpoints() = default;
    // Sends one datagram from socket `from`; false when the system refuses it or that socket
    // is closed.
    virtual bool send_to(size_t from, const std::vector<uint8_t>& bytes, const Ipv4& to,
                         uint16_t port) = 0;
    // The next datagram that came to any open socket, waiting at most timeout_ms for one;
    // nothing when none came. Sockets with datagrams waiting take turns.
    virtual std::optional<Arrival> receive(uint32_t timeout_ms) = 0;
    // Closes socket `index`: what comes to its address is no longer received there, and its
    // address and port are free again.
    virtual void close(size_t index) = 0;
};

// One socket for each address of `locals` (at most MAX_DATAGRAM_ENDPOINTS), bound to it and
// `port`, that may send broadcasts. Nothing when one of them cannot be had: `failed` is its
// number and `error` the system's reason.
std::unique_ptr<DatagramEndpoints> open_datagram_endpoints(const std::vector<Ipv4>& locals,
                                                           uint16_t port, std::string& error,
                                                           size_t& failed);

}  // namespace qd
