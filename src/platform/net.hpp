// The datagram seam: the few socket operations the server uses, with the results of Windows
// Sockets 1.1. The platform's sockets plug in here; tests plug in a scripted network.
#pragma once

#include <cstdint>

namespace qd {

class Net {
public:
    virtual ~Net() = default;
    // Starts the socket library (version 1.1); 0, or the library's error code.
    virtual int startup() = 0;
    virtual void cleanup() = 0;
    // A new IPv4 datagram socket; a negative handle on failure.
    virtual int open_udp() = 0;
    virtual void set_nonblocking(int so) = 0;
    // Binds to `port` on every local address; negative on failure (see last_error).
    virtual int bind_any(int so, uint16_t port) = 0;
    // The error code of the last failed operation.
    virtual int last_error() = 0;
    // Dotted text to an IPv4 address in network byte order, unchecked (inet_addr).
    virtual uint32_t address_of(const char* dotted) = 0;
    // Sends one datagram; the count sent, or negative on failure.
    virtual int send_to(int so, const uint8_t* data, int len, uint32_t addr, uint16_t port) = 0;
    // Receives at most one datagram of at most cap bytes without waiting; its length, or -1
    // when nothing is waiting or on any error.
    int receive(int so, uint8_t* buf, int cap) {
        uint32_t from_addr = 0;
        return receive_from(so, buf, cap, from_addr);
    }
    // The same, and the sender's IPv4 address (network byte order) in from_addr.
    virtual int receive_from(int so, uint8_t* buf, int cap, uint32_t& from_addr) = 0;
    // Waits at most timeout_ms for a datagram to be waiting on the socket; true when one is.
    virtual bool wait_readable(int so, uint32_t timeout_ms) = 0;
    // Closes the socket; negative on failure.
    virtual int close(int so) = 0;
};

// The platform's sockets.
Net& system_net();

}  // namespace qd
