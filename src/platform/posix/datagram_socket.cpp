// The device side's sockets on POSIX: bound to the devices' addresses, allowed to broadcast,
// waited on with poll.
#include "platform/datagram_socket.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qd::datagram_socket {
namespace {

constexpr size_t MAX_DATAGRAM = 65536;
// The longest single wait of poll.
constexpr uint32_t MAX_WAIT_MS = 60000;

sockaddr_in socket_address(const Ipv4& ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    std::memcpy(&a.sin_addr.s_addr, ip.data(), ip.size());
    return a;
}

std::string reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

int fd_of(Handle h) { return static_cast<int>(h); }

}  // namespace

bool start(std::string&) { return true; }

Handle open(const Ipv4& local, uint16_t port, std::string& error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        error = reason("socket");
        return NONE;
    }
    const int on = 1;
    const sockaddr_in a = socket_address(local, port);
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        error = reason("SO_BROADCAST");
    } else if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        error = reason("bind");
    } else {
        return fd;
    }
    ::close(fd);
    return NONE;
}

void close(Handle h) {
    if (h != NONE) ::close(fd_of(h));
}

bool send(Handle h, const std::vector<uint8_t>& bytes, const Ipv4& to, uint16_t port) {
    const sockaddr_in a = socket_address(to, port);
    const ssize_t n = ::sendto(fd_of(h), bytes.data(), bytes.size(), 0,
                               reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return n == static_cast<ssize_t>(bytes.size());
}

// A socket that is NONE takes part as a negative descriptor, which poll passes over.
std::vector<bool> wait(const std::vector<Handle>& handles, uint32_t timeout_ms) {
    std::vector<pollfd> polled;
    for (const Handle h : handles) polled.push_back(pollfd{fd_of(h), POLLIN, 0});
    const int ms = static_cast<int>(timeout_ms > MAX_WAIT_MS ? MAX_WAIT_MS : timeout_ms);
    std::vector<bool> waiting(handles.size(), false);
    if (::poll(polled.data(), polled.size(), ms) <= 0) return waiting;
    for (size_t i = 0; i < polled.size(); ++i) waiting[i] = (polled[i].revents & POLLIN) != 0;
    return waiting;
}

std::optional<Datagram> read(Handle h) {
    Datagram d;
    d.bytes.resize(MAX_DATAGRAM);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(fd_of(h), d.bytes.data(), d.bytes.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    d.bytes.resize(static_cast<size_t>(n));
    std::memcpy(d.from.data(), &from.sin_addr.s_addr, d.from.size());
    d.from_port = ntohs(from.sin_port);
    return d;
}

}  // namespace qd::datagram_socket
