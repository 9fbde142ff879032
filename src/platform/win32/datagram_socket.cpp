// The device side's sockets on Windows Sockets: bound to the devices' addresses, allowed to
// broadcast, waited on with select.
#include "platform/datagram_socket.hpp"

#include <winsock2.h>

#include <cstring>

namespace qd::datagram_socket {
namespace {

constexpr int MAX_DATAGRAM = 65536;
// The longest single wait of select.
constexpr uint32_t MAX_WAIT_MS = 60000;

static_assert(MAX_DATAGRAM_ENDPOINTS <= FD_SETSIZE, "select waits on at most FD_SETSIZE sockets");
static_assert(static_cast<Handle>(INVALID_SOCKET) == NONE, "NONE is INVALID_SOCKET");

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

SOCKET socket_of(Handle h) { return static_cast<SOCKET>(h); }

}  // namespace

bool start(std::string& error) {
    WSADATA data;
    if (const int err = WSAStartup(0x0101, &data); err != 0) {
        error = "WSAStartup: error " + std::to_string(err);
        return false;
    }
    return true;
}

Handle open(const Ipv4& local, uint16_t port, std::string& error) {
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        error = reason("socket");
        return NONE;
    }
    const BOOL on = TRUE;
    const sockaddr_in a = socket_address(local, port);
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        error = reason("SO_BROADCAST");
    } else if (bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        error = reason("bind");
    } else {
        return static_cast<Handle>(s);
    }
    closesocket(s);
    return NONE;
}

void close(Handle h) {
    if (h != NONE) closesocket(socket_of(h));
}

bool send(Handle h, const std::vector<uint8_t>& bytes, const Ipv4& to, uint16_t port) {
    const sockaddr_in a = socket_address(to, port);
    const int n = sendto(socket_of(h), reinterpret_cast<const char*>(bytes.data()),
                         static_cast<int>(bytes.size()), 0, reinterpret_cast<const sockaddr*>(&a),
                         sizeof a);
    return n == static_cast<int>(bytes.size());
}

// select takes no empty set: with no socket open, the time is slept.
std::vector<bool> wait(const std::vector<Handle>& handles, uint32_t timeout_ms) {
    const uint32_t ms = timeout_ms > MAX_WAIT_MS ? MAX_WAIT_MS : timeout_ms;
    std::vector<bool> waiting(handles.size(), false);
    fd_set readable;
    FD_ZERO(&readable);
    for (const Handle h : handles) {
        if (h != NONE) FD_SET(socket_of(h), &readable);
    }
    if (readable.fd_count == 0) {
        Sleep(static_cast<DWORD>(ms));
        return waiting;
    }
    timeval t{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &t) <= 0) return waiting;
    for (size_t i = 0; i < handles.size(); ++i) {
        waiting[i] = handles[i] != NONE && FD_ISSET(socket_of(handles[i]), &readable);
    }
    return waiting;
}

std::optional<Datagram> read(Handle h) {
    Datagram d;
    d.bytes.resize(MAX_DATAGRAM);
    sockaddr_in from{};
    int len = sizeof from;
    const int n = recvfrom(socket_of(h), reinterpret_cast<char*>(d.bytes.data()), MAX_DATAGRAM, 0,
                           reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    d.bytes.resize(static_cast<size_t>(n));
    std::memcpy(d.from.data(), &from.sin_addr.s_addr, d.from.size());
    d.from_port = ntohs(from.sin_port);
    return d;
}

}  // namespace qd::datagram_socket
