// The device side of the network on Windows Sockets: sockets bound to the devices' addresses,
// allowed to broadcast, waited on with select.
#include <winsock2.h>

#include <cstring>
#include <utility>

#include "platform/datagram.hpp"

namespace qd {
namespace {

constexpr int MAX_DATAGRAM = 65536;
// The longest single wait of select.
constexpr uint32_t MAX_WAIT_MS = 60000;

static_assert(MAX_DATAGRAM_ENDPOINTS <= FD_SETSIZE, "select waits on at most FD_SETSIZE sockets");

sockaddr_in socket_address(const Ipv4& ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    std::memcpy(&a.sin_addr.s_addr, ip.data(), ip.size());
    return a;
}

std::string reason(const char* what) {
    return std::string(what) + ": error " + std::to_string(WSAGetLastError());
}

timeval wait_time(uint32_t timeout_ms) {
    const uint32_t ms = timeout_ms > MAX_WAIT_MS ? MAX_WAIT_MS : timeout_ms;
    return timeval{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
}

bool start_sockets(std::string& error) {
    WSADATA data;
    if (const int err = WSAStartup(0x0101, &data); err != 0) {
        error = "WSAStartup: error " + std::to_string(err);
        return false;
    }
    return true;
}

// A socket bound to local:port that may broadcast; INVALID_SOCKET, with the reason in error,
// when not.
SOCKET open_socket(const Ipv4& local, uint16_t port, std::string& error) {
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        error = reason("socket");
        return INVALID_SOCKET;
    }
    const BOOL on = TRUE;
    const sockaddr_in a = socket_address(local, port);
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        error = reason("SO_BROADCAST");
    } else if (bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        error = reason("bind");
    } else {
        return s;
    }
    closesocket(s);
    return INVALID_SOCKET;
}

bool send_datagram(SOCKET s, const std::vector<uint8_t>& bytes, const Ipv4& to, uint16_t port) {
    const sockaddr_in a = socket_address(to, port);
    const int n = sendto(s, reinterpret_cast<const char*>(bytes.data()),
                         static_cast<int>(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&a),
                         sizeof a);
    return n == static_cast<int>(bytes.size());
}

// The datagram waiting on s; nothing on an error.
std::optional<Datagram> read_datagram(SOCKET s) {
    Datagram d;
    d.bytes.resize(MAX_DATAGRAM);
    sockaddr_in from{};
    int len = sizeof from;
    const int n = recvfrom(s, reinterpret_cast<char*>(d.bytes.data()), MAX_DATAGRAM, 0,
                           reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    d.bytes.resize(static_cast<size_t>(n));
    std::memcpy(d.from.data(), &from.sin_addr.s_addr, d.from.size());
    d.from_port = ntohs(from.sin_port);
    return d;
}

class WinsockEndpoint : public DatagramEndpoint {
public:
    explicit WinsockEndpoint(SOCKET s) : s_(s) {}
    ~WinsockEndpoint() override { closesocket(s_); }
    WinsockEndpoint(const WinsockEndpoint&) = delete;
    WinsockEndpoint& operator=(const WinsockEndpoint&) = delete;

    bool send_to(const std::vector<uint8_t>& bytes, const Ipv4& to, uint16_t port) override {
        return send_datagram(s_, bytes, to, port);
    }

    std::optional<Datagram> receive(uint32_t timeout_ms) override {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s_, &readable);
        timeval t = wait_time(timeout_ms);
        if (select(0, &readable, nullptr, nullptr, &t) <= 0) return std::nullopt;
        return read_datagram(s_);
    }

private:
    SOCKET s_;
};

class WinsockEndpoints : public DatagramEndpoints {
public:
    explicit WinsockEndpoints(std::vector<SOCKET> sockets) : sockets_(std::move(sockets)) {}
    ~WinsockEndpoints() override {
        for (size_t i = 0; i < sockets_.size(); ++i) close(i);
    }
    WinsockEndpoints(const WinsockEndpoints&) = delete;
    WinsockEndpoints& operator=(const WinsockEndpoints&) = delete;

    bool send_to(size_t from, const std::vector<uint8_t>& bytes, const Ipv4& to,
                 uint16_t port) override {
        return from < sockets_.size() && sockets_[from] != INVALID_SOCKET &&
               send_datagram(sockets_[from], bytes, to, port);
    }

    std::optional<Arrival> receive(uint32_t timeout_ms) override {
        fd_set readable;
        FD_ZERO(&readable);
        for (const SOCKET s : sockets_) {
            if (s != INVALID_SOCKET) FD_SET(s, &readable);
        }
        timeval t = wait_time(timeout_ms);
        if (readable.fd_count == 0) {
            Sleep(static_cast<DWORD>(t.tv_sec * 1000 + t.tv_usec / 1000));  // select takes none
            return std::nullopt;
        }
        if (select(0, &readable, nullptr, nullptr, &t) <= 0) return std::nullopt;
        for (size_t k = 0; k < sockets_.size(); ++k) {
            const size_t i = (next_ + k) % sockets_.size();
            if (sockets_[i] == INVALID_SOCKET || !FD_ISSET(sockets_[i], &readable)) continue;
            next_ = i + 1;
            std::optional<Datagram> d = read_datagram(sockets_[i]);
            if (d) return Arrival{i, std::move(*d)};
        }
        return std::nullopt;
    }

    void close(size_t index) override {
        if (index >= sockets_.size() || sockets_[index] == INVALID_SOCKET) return;
        closesocket(sockets_[index]);
        sockets_[index] = INVALID_SOCKET;
    }

private:
    std::vector<SOCKET> sockets_;  // INVALID_SOCKET once closed
    size_t next_ = 0;              // the socket looked at first by the next receive
};

}  // namespace

std::unique_ptr<DatagramEndpoint> open_datagram_endpoint(const Ipv4& local, uint16_t port,
                                                         std::string& error) {
    if (!start_sockets(error)) return nullptr;
    const SOCKET s = open_socket(local, port, error);
    if (s == INVALID_SOCKET) return nullptr;
    return std::make_unique<WinsockEndpoint>(s);
}

std::unique_ptr<DatagramEndpoints> open_datagram_endpoints(const std::vector<Ipv4>& locals,
                                                           uint16_t port, std::string& error,
                                                           size_t& failed) {
    failed = 0;
    if (!start_sockets(error)) return nullptr;
    if (locals.size() > MAX_DATAGRAM_ENDPOINTS) {
        failed = MAX_DATAGRAM_ENDPOINTS;
        error = "more than " + std::to_string(MAX_DATAGRAM_ENDPOINTS) + " sockets";
        return nullptr;
    }
    std::vector<SOCKET> sockets;
    for (size_t i = 0; i < locals.size(); ++i) {
        const SOCKET s = open_socket(locals[i], port, error);
        if (s == INVALID_SOCKET) {
            for (const SOCKET open : sockets) closesocket(open);
            failed = i;
            return nullptr;
        }
        sockets.push_back(s);
    }
    return std::make_unique<WinsockEndpoints>(std::move(sockets));
}

}  // namespace qd
