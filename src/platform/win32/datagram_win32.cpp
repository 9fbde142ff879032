// The device side of the network on Windows Sockets: one socket bound to the device's address,
// allowed to broadcast.
#include <winsock2.h>

#include <cstring>

#include "platform/datagram.hpp"

namespace qd {
namespace {

constexpr int MAX_DATAGRAM = 65536;

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

class WinsockEndpoint : public DatagramEndpoint {
public:
    explicit WinsockEndpoint(SOCKET s) : s_(s) {}
    ~WinsockEndpoint() override { closesocket(s_); }
    WinsockEndpoint(const WinsockEndpoint&) = delete;
    WinsockEndpoint& operator=(const WinsockEndpoint&) = delete;

    bool send_to(const std::vector<uint8_t>& bytes, const Ipv4& to, uint16_t port) override {
        const sockaddr_in a = socket_address(to, port);
        const int n = sendto(s_, reinterpret_cast<const char*>(bytes.data()),
                             static_cast<int>(bytes.size()), 0,
                             reinterpret_cast<const sockaddr*>(&a), sizeof a);
        return n == static_cast<int>(bytes.size());
    }

    std::optional<Datagram> receive(uint32_t timeout_ms) override {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s_, &readable);
        const uint32_t ms = timeout_ms > 60000 ? 60000 : timeout_ms;
        timeval t{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &t) <= 0) return std::nullopt;
        Datagram d;
        d.bytes.resize(MAX_DATAGRAM);
        sockaddr_in from{};
        int len = sizeof from;
        const int n = recvfrom(s_, reinterpret_cast<char*>(d.bytes.data()), MAX_DATAGRAM, 0,
                               reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        d.bytes.resize(static_cast<size_t>(n));
        std::memcpy(d.from.data(), &from.sin_addr.s_addr, d.from.size());
        d.from_port = ntohs(from.sin_port);
        return d;
    }

private:
    SOCKET s_;
};

}  // namespace

std::unique_ptr<DatagramEndpoint> open_datagram_endpoint(const Ipv4& local, uint16_t port,
                                                         std::string& error) {
    WSADATA data;
    if (const int err = WSAStartup(0x0101, &data); err != 0) {
        error = "WSAStartup: error " + std::to_string(err);
        return nullptr;
    }
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        error = reason("socket");
        return nullptr;
    }
    const BOOL on = TRUE;
    const sockaddr_in a = socket_address(local, port);
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        error = reason("SO_BROADCAST");
    } else if (bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        error = reason("bind");
    } else {
        return std::make_unique<WinsockEndpoint>(s);
    }
    closesocket(s);
    return nullptr;
}

}  // namespace qd
