// The device side of the network on POSIX sockets: sockets bound to the devices' addresses,
// allowed to broadcast, waited on with poll.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/datagram.hpp"

namespace qd {
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

int poll_timeout(uint32_t timeout_ms) {
    return static_cast<int>(timeout_ms > MAX_WAIT_MS ? MAX_WAIT_MS : timeout_ms);
}

// A socket bound to local:port that may broadcast; -1, with the reason in error, when not.
int open_socket(const Ipv4& local, uint16_t port, std::string& error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        error = reason("socket");
        return -1;
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
    return -1;
}

bool send_datagram(int fd, const std::vector<uint8_t>& bytes, const Ipv4& to, uint16_t port) {
    const sockaddr_in a = socket_address(to, port);
    const ssize_t n = ::sendto(fd, bytes.data(), bytes.size(), 0,
                               reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return n == static_cast<ssize_t>(bytes.size());
}

// The datagram waiting on fd, without waiting; nothing when none is there.
std::optional<Datagram> read_datagram(int fd) {
    Datagram d;
    d.bytes.resize(MAX_DATAGRAM);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(fd, d.bytes.data(), d.bytes.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    d.bytes.resize(static_cast<size_t>(n));
    std::memcpy(d.from.data(), &from.sin_addr.s_addr, d.from.size());
    d.from_port = ntohs(from.sin_port);
    return d;
}

class PosixEndpoint : public DatagramEndpoint {
public:
    explicit PosixEndpoint(int fd) : fd_(fd) {}
    ~PosixEndpoint() override { ::close(fd_); }
    PosixEndpoint(const PosixEndpoint&) = delete;
    PosixEndpoint& operator=(const PosixEndpoint&) = delete;

    bool send_to(const std::vector<uint8_t>& bytes, const Ipv4& to, uint16_t port) override {
        return send_datagram(fd_, bytes, to, port);
    }

    std::optional<Datagram> receive(uint32_t timeout_ms) override {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, poll_timeout(timeout_ms)) <= 0) return std::nullopt;
        return read_datagram(fd_);
    }

private:
    int fd_;
};

class PosixEndpoints : public DatagramEndpoints {
public:
    explicit PosixEndpoints(std::vector<int> fds) : fds_(std::move(fds)) {}
    ~PosixEndpoints() override {
        for (size_t i = 0; i < fds_.size(); ++i) close(i);
    }
    PosixEndpoints(const PosixEndpoints&) = delete;
    PosixEndpoints& operator=(const PosixEndpoints&) = delete;

    bool send_to(size_t from, const std::vector<uint8_t>& bytes, const Ipv4& to,
                 uint16_t port) override {
        return from < fds_.size() && fds_[from] >= 0 && send_datagram(fds_[from], bytes, to, port);
    }

    // A closed socket takes part as a negative descriptor, which poll passes over.
    std::optional<Arrival> receive(uint32_t timeout_ms) override {
        std::vector<pollfd> polled;
        for (const int fd : fds_) polled.push_back(pollfd{fd, POLLIN, 0});
        if (::poll(polled.data(), polled.size(), poll_timeout(timeout_ms)) <= 0) {
            return std::nullopt;
        }
        for (size_t k = 0; k < polled.size(); ++k) {
            const size_t i = (next_ + k) % polled.size();
            if ((polled[i].revents & POLLIN) == 0) continue;
            next_ = i + 1;
            std::optional<Datagram> d = read_datagram(fds_[i]);
            if (d) return Arrival{i, std::move(*d)};
        }
        return std::nullopt;
    }

    void close(size_t index) override {
        if (index >= fds_.size() || fds_[index] < 0) return;
        ::close(fds_[index]);
        fds_[index] = -1;
    }

private:
    std::vector<int> fds_;  // -1 once closed
    size_t next_ = 0;       // the socket looked at first by the next receive
};

}  // namespace

std::unique_ptr<DatagramEndpoint> open_datagram_endpoint(const Ipv4& local, uint16_t port,
                                                         std::string& error) {
    const int fd = open_socket(local, port, error);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixEndpoint>(fd);
}

std::unique_ptr<DatagramEndpoints> open_datagram_endpoints(const std::vector<Ipv4>& locals,
                                                           uint16_t port, std::string& error,
                                                           size_t& failed) {
    if (locals.size() > MAX_DATAGRAM_ENDPOINTS) {
        failed = MAX_DATAGRAM_ENDPOINTS;
        error = "more than " + std::to_string(MAX_DATAGRAM_ENDPOINTS) + " sockets";
        return nullptr;
    }
    std::vector<int> fds;
    for (size_t i = 0; i < locals.size(); ++i) {
        const int fd = open_socket(locals[i], port, error);
        if (fd < 0) {
            for (const int open : fds) ::close(open);
            failed = i;
            return nullptr;
        }
        fds.push_back(fd);
    }
    return std::make_unique<PosixEndpoints>(std::move(fds));
}

}  // namespace qd
