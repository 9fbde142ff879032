// A plain UDP socket for tests: the other end of the server's exchange (a device, a sender of
// damaged frames, a holder of a port).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qd::test {

using Bytes = std::vector<uint8_t>;

struct Datagram {
    Bytes data;
    std::string from_ip;
    uint16_t from_port = 0;
};

// Waits at most timeout_ms until a datagram is waiting on fd; false when none came.
bool wait_readable(int fd, int timeout_ms);

// An IPv4 datagram socket in the network namespace of the thread that made it, closed when
// it goes. Addresses are dotted text.
class UdpSocket {
public:
    UdpSocket();
    ~UdpSocket();
    UdpSocket(UdpSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    int fd() const { return fd_; }
    // False (with errno) when the address cannot be had.
    bool bind(const std::string& ip, uint16_t port);
    void allow_broadcast();
    bool send_to(const std::string& ip, uint16_t port, const Bytes& data);
    // The next datagram, waiting at most timeout_ms; nothing when none came. A datagram of up to
    // 64 KiB arrives whole.
    std::optional<Datagram> receive(int timeout_ms = 2000);

private:
    int fd_;
};

// Sends the datagrams of `pool` (not empty) to ip:port over and over, in batches, as fast as the
// socket takes them, until `stop` is set or `until` has come; the count sent.
uint64_t stream_to(const UdpSocket& so, const std::string& ip, uint16_t port,
                   const std::vector<Bytes>& pool, const std::atomic<bool>& stop,
                   std::chrono::steady_clock::time_point until);

}  // namespace qd::test
