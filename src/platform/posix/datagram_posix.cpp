#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/datagram.hpp"

namespace qd {
namespace {

constexpr size_t MAX_DATAGRAM = 65536;

sockaddr_in socket_address(const Ipv4& ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    std::memcpy(&a.sin_addr.s_addr, ip.data(), ip.size());
    return a;
}

std::string reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

class PosixEndpoint : public DatagramEndpoint {
public:
    explicit PosixEndpoint(int fd) : fd_(fd) {}
    ~PosixEndpoint() override { ::close(fd_); }
    PosixEndpoint(const PosixEndpoint&) = delete;
    PosixEndpoint& operator=(const PosixEndpoint&) = delete;

    bool send_to(const std::vector<uint8_t>& bytes, const Ipv4& to, uint16_t port) override {
        const sockaddr_in a = socket_address(to, port);
        const ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), 0,
                                   reinterpret_cast<const sockaddr*>(&a), sizeof a);
        return n == static_cast<ssize_t>(bytes.size());
    }

    std::optional<Datagram> receive(uint32_t timeout_ms) override {
        pollfd p{fd_, POLLIN, 0};
        const int timeout = timeout_ms > 60000 ? 60000 : static_cast<int>(timeout_ms);
        if (::poll(&p, 1, timeout) <= 0) return std::nullopt;
        Datagram d;
        d.bytes.resize(MAX_DATAGRAM);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fd_, d.bytes.data(), d.bytes.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        d.bytes.resize(static_cast<size_t>(n));
        std::memcpy(d.from.data(), &from.sin_addr.s_addr, d.from.size());
        d.from_port = ntohs(from.sin_port);
        return d;
    }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<DatagramEndpoint> open_datagram_endpoint(const Ipv4& local, uint16_t port,
                                                         std::string& error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        error = reason("socket");
        return nullptr;
    }
    const int on = 1;
    const sockaddr_in a = socket_address(local, port);
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        error = reason("SO_BROADCAST");
    } else if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        error = reason("bind");
    } else {
        return std::make_unique<PosixEndpoint>(fd);
    }
    ::close(fd);
    return nullptr;
}

}  // namespace qd
