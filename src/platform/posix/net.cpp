// The datagram seam on POSIX sockets, with the results the Windows Sockets functions give.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/end_gate.hpp"
#include "platform/net.hpp"
#include "platform/posix/waits.hpp"

namespace qd {
namespace {

// Datagrams read from a socket by one call and handed out one at a time: a rack's pass reads
// what all its devices sent with a few calls instead of one each. Only datagrams the socket
// already had are read, and they are handed out in the order they came.
class ReadAhead {
public:
    static constexpr unsigned kBatch = 32;
    static constexpr size_t kSlot = 512;

    explicit ReadAhead(int so) : so_(so) {
        for (unsigned i = 0; i < kBatch; ++i) {
            iov_[i] = {&data_[i * kSlot], kSlot};
            msgs_[i].msg_hdr.msg_iov = &iov_[i];
            msgs_[i].msg_hdr.msg_iovlen = 1;
            msgs_[i].msg_hdr.msg_name = &from_[i];
        }
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    int socket() const { return so_; }
    bool empty() const { return next_ == count_; }

    // Reads what waits, at most a batch; false when nothing did.
    bool fill() {
        for (mmsghdr& m : msgs_) m.msg_hdr.msg_namelen = sizeof(sockaddr_in);
        // MSG_TRUNC gives each datagram's whole length, so that one longer than a slot is seen.
        const int n = ::recvmmsg(so_, msgs_, kBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
        next_ = 0;
        count_ = n > 0 ? static_cast<unsigned>(n) : 0;
        return count_ > 0;
    }

    // The next datagram read: its whole length, its bytes and its sender.
    size_t take(const uint8_t*& bytes, uint32_t& from_addr) {
        const unsigned i = next_++;
        bytes = &data_[i * kSlot];
        from_addr = from_[i].sin_addr.s_addr;
        return msgs_[i].msg_len;
    }

private:
    int so_;
    uint8_t data_[kBatch * kSlot];
    iovec iov_[kBatch]{};
    sockaddr_in from_[kBatch]{};
    mmsghdr msgs_[kBatch]{};
    unsigned next_ = 0;
    unsigned count_ = 0;
};

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

    // A datagram longer than the buffer is dropped as an error, as Windows Sockets does, not
    // handed on cut short.
    int receive_from(int so, uint8_t* buf, int cap, uint32_t& from_addr) override {
        ReadAhead& ahead = read_ahead(so);
        from_addr = 0;
        if (ahead.empty() && !ahead.fill()) return -1;
        const uint8_t* bytes = nullptr;
        const size_t n = ahead.take(bytes, from_addr);
        if (cap < 0 || n > static_cast<size_t>(cap) || n > ReadAhead::kSlot) return -1;
        std::memcpy(buf, bytes, n);
        return static_cast<int>(n);
    }

    // An end from outside is acted on after every wait, also one that finds datagrams read
    // ahead or ready at once (ending.hpp); another signal only shortens the wait, as the
    // callers allow.
    bool wait_readable(int so, uint32_t timeout_ms) override {
        if (!read_ahead(so).empty()) {
            end_gate::act_if_requested();
            return true;
        }
        pollfd p{so, POLLIN, 0};
        const timespec timeout{static_cast<time_t>(timeout_ms / 1000),
                               static_cast<long>(timeout_ms % 1000) * 1000000L};
        const int r = ::ppoll(&p, 1, &timeout, posix::wait_mask());
        end_gate::act_if_requested();
        return r > 0 && (p.revents & POLLIN) != 0;
    }

    int close(int so) override {
        for (auto it = ahead_.begin(); it != ahead_.end(); ++it) {
            if ((*it)->socket() == so) {
                ahead_.erase(it);
                break;
            }
        }
        return ::close(so);
    }

private:
    ReadAhead& read_ahead(int so) {
        for (const std::unique_ptr<ReadAhead>& a : ahead_) {
            if (a->socket() == so) return *a;
        }
        return *ahead_.emplace_back(std::make_unique<ReadAhead>(so));
    }

    // Each in place for good: its headers point into it.
    std::vector<std::unique_ptr<ReadAhead>> ahead_;
};

}  // namespace

Net& system_net() {
    static PosixNet net;
    return net;
}

}  // namespace qd
