// Windows Sockets 1.1 behind the datagram seam.
#include <winsock2.h>

#include <algorithm>
#include <vector>

#include "platform/end_gate.hpp"
#include "platform/net.hpp"
#include "platform/win32/sockets.hpp"
#include "platform/win32/waits.hpp"

namespace qd {
namespace {

// The open sockets; the console's control handler closes them from its own thread.
class OpenSockets {
public:
    void add(SOCKET s) {
        AcquireSRWLockExclusive(&lock_);
        open_.push_back(s);
        ReleaseSRWLockExclusive(&lock_);
    }
    void remove(SOCKET s) {
        AcquireSRWLockExclusive(&lock_);
        open_.erase(std::remove(open_.begin(), open_.end(), s), open_.end());
        ReleaseSRWLockExclusive(&lock_);
    }
    void close_all() {
        AcquireSRWLockExclusive(&lock_);
        for (const SOCKET s : open_) closesocket(s);
        open_.clear();
        ReleaseSRWLockExclusive(&lock_);
    }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<SOCKET> open_;
};

OpenSockets& open_sockets() {
    static OpenSockets sockets;
    return sockets;
}

// Socket handles are small numbers; the seam carries them as int.
SOCKET handle(int so) { return static_cast<SOCKET>(static_cast<unsigned>(so)); }

sockaddr_in ipv4(uint32_t addr, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = addr;
    return a;
}

class WinsockNet : public Net {
public:
    int startup() override {
        WSADATA data;
        return WSAStartup(0x0101, &data);
    }

    void cleanup() override { WSACleanup(); }

    int open_udp() override {
        const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
        if (s == INVALID_SOCKET) return -1;
        open_sockets().add(s);
        return static_cast<int>(s);
    }

    void set_nonblocking(int so) override {
        u_long on = 1;
        ioctlsocket(handle(so), static_cast<long>(FIONBIO), &on);
    }

    int bind_any(int so, uint16_t port) override {
        const sockaddr_in a = ipv4(htonl(INADDR_ANY), port);
        return bind(handle(so), reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }

    int last_error() override { return WSAGetLastError(); }

    uint32_t address_of(const char* dotted) override { return inet_addr(dotted); }

    int send_to(int so, const uint8_t* data, int len, uint32_t addr, uint16_t port) override {
        const sockaddr_in a = ipv4(addr, port);
        return sendto(handle(so), reinterpret_cast<const char*>(data), len, 0,
                      reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }

    // A datagram longer than the buffer fails with WSAEMSGSIZE and is dropped.
    int receive_from(int so, uint8_t* buf, int cap, uint32_t& from_addr) override {
        sockaddr_in from{};
        int len = sizeof from;
        const int n = recvfrom(handle(so), reinterpret_cast<char*>(buf), cap, 0,
                               reinterpret_cast<sockaddr*>(&from), &len);
        from_addr = from.sin_addr.s_addr;
        return n < 0 ? -1 : n;
    }

    // In slices that an end from outside does not outlast; it is acted on after the wait, also
    // one that found datagrams ready (ending.hpp).
    bool wait_readable(int so, uint32_t timeout_ms) override {
        uint32_t left = timeout_ms;
        int r = 0;
        do {
            const uint32_t slice = std::min(left, win32::kWaitSliceMs);
            left -= slice;
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(handle(so), &readable);
            timeval t{0, static_cast<long>(slice) * 1000};
            r = select(0, &readable, nullptr, nullptr, &t);
        } while (r == 0 && left > 0 && !end_gate::requested());
        end_gate::act_if_requested();
        return r > 0;
    }

    int close(int so) override {
        open_sockets().remove(handle(so));
        return closesocket(handle(so));
    }
};

}  // namespace

Net& system_net() {
    static WinsockNet net;
    return net;
}

void win32::close_open_sockets() { open_sockets().close_all(); }

}  // namespace qd
