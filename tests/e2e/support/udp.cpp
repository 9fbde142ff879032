#include "support/udp.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qd::test {
namespace {

sockaddr_in address(const std::string& ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

}  // namespace

bool wait_readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN) != 0;
}

// Not inherited by the programs a test starts: one that lives on (Wine's server) would hold
// the address after the test has closed it.
UdpSocket::UdpSocket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}

UdpSocket::~UdpSocket() {
    if (fd_ >= 0) ::close(fd_);
}

bool UdpSocket::bind(const std::string& ip, uint16_t port) {
    const sockaddr_in a = address(ip, port);
    return ::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

void UdpSocket::allow_broadcast() {
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
}

bool UdpSocket::send_to(const std::string& ip, uint16_t port, const Bytes& data) {
    const sockaddr_in a = address(ip, port);
    return ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&a),
                    sizeof a) == static_cast<ssize_t>(data.size());
}

uint64_t stream_to(const UdpSocket& so, const std::string& ip, uint16_t port,
                   const std::vector<Bytes>& pool, const std::atomic<bool>& stop,
                   std::chrono::steady_clock::time_point until) {
    sockaddr_in to = address(ip, port);
    std::vector<iovec> iov(pool.size());
    std::vector<mmsghdr> msgs(pool.size());
    for (size_t i = 0; i < pool.size(); ++i) {
        iov[i] = {const_cast<uint8_t*>(pool[i].data()), pool[i].size()};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &to;
        msgs[i].msg_hdr.msg_namelen = sizeof to;
    }
    uint64_t sent = 0;
    while (!stop && std::chrono::steady_clock::now() < until) {
        const int n = ::sendmmsg(so.fd(), msgs.data(), static_cast<unsigned>(msgs.size()), 0);
        if (n > 0) sent += static_cast<uint64_t>(n);
    }
    return sent;
}

std::optional<Datagram> UdpSocket::receive(int timeout_ms) {
    if (!wait_readable(fd_, timeout_ms)) return std::nullopt;
    Datagram d;
    d.data.resize(65536);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(fd_, d.data.data(), d.data.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    d.data.resize(static_cast<size_t>(n));
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    d.from_ip = text;
    d.from_port = ntohs(from.sin_port);
    return d;
}

}  // namespace qd::test
