// The datagram seam on POSIX sockets, with the results the Windows Sockets functions give.
#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/net.hpp"

namespace qd {
namespace {

class PosixNet : public Net {
public:
    int startup() override { return 0; }
    void cleanup() override {}

    int open_udp() override { return ::socket(AF_INET, SOCK_DGRAM, 0); }

    void set_nonblocking(int so) override {
        const int flags = ::fcntl(so, F_GETFL, 0);
        if (flags >= 0) ::fcntl(so, F_SETFL, flags | O_NONBLOCK);
    }

    int bind_any(int so, uint16_t port) override {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        return ::bind(so, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }

    int last_error() override { return errno; }

    uint32_t address_of(const char* dotted) override { return ::inet_addr(dotted); }

    int send_to(int so, const uint8_t* data, int len, uint32_t addr, uint16_t port) override {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = addr;
        const ssize_t n = ::sendto(so, data, static_cast<size_t>(len), 0,
                                   reinterpret_cast<const sockaddr*>(&a), sizeof a);
        return n < 0 ? -1 : static_cast<int>(n);
    }

    int receive_from(int so, uint8_t* buf, int cap, uint32_t& from_addr) override {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        // MSG_TRUNC gives the datagram's whole length: one longer than the buffer is dropped
        // as an error, as Windows Sockets does, not handed on cut short.
        const ssize_t n = ::recvfrom(so, buf, static_cast<size_t>(cap), MSG_DONTWAIT | MSG_TRUNC,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        from_addr = from.sin_addr.s_addr;
        return n < 0 || n > cap ? -1 : static_cast<int>(n);
    }

    bool wait_readable(int so, uint32_t timeout_ms) override {
        pollfd p{so, POLLIN, 0};
        const int timeout = timeout_ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(timeout_ms);
        return ::poll(&p, 1, timeout) > 0 && (p.revents & POLLIN) != 0;
    }

    int close(int so) override { return ::close(so); }
};

}  // namespace

Net& system_net() {
    static PosixNet net;
    return net;
}

}  // namespace qd
