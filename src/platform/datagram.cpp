// The device side's endpoints over the platform's sockets (datagram_socket.hpp): what is open,
// what is closed, whose turn it is, and a set that opens whole or not at all.
#include "platform/datagram.hpp"

#include <utility>

#include "platform/datagram_socket.hpp"

namespace qd {
namespace {

namespace sock = datagram_socket;

class Endpoint : public DatagramEndpoint {
public:
    explicit Endpoint(sock::Handle h) : h_(h) {}
    ~Endpoint() override { sock::close(h_); }
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    bool send_to(const std::vector<uint8_t>& bytes, const Ipv4& to, uint16_t port) override {
        return sock::send(h_, bytes, to, port);
    }

    std::optional<Datagram> receive(uint32_t timeout_ms) override {
        if (!sock::wait({h_}, timeout_ms).at(0)) return std::nullopt;
        return sock::read(h_);
    }

private:
    sock::Handle h_;
};

class Endpoints : public DatagramEndpoints {
public:
    explicit Endpoints(std::vector<sock::Handle> handles) : handles_(std::move(handles)) {}
    ~Endpoints() override {
        for (size_t i = 0; i < handles_.size(); ++i) close(i);
    }
    Endpoints(const Endpoints&) = delete;
    Endpoints& operator=(const Endpoints&) = delete;

    bool send_to(size_t from, const std::vector<uint8_t>& bytes, const Ipv4& to,
                 uint16_t port) override {
        return from < handles_.size() && handles_[from] != sock::NONE &&
               sock::send(handles_[from], bytes, to, port);
    }

    // The sockets with a datagram waiting take turns, from the one after the last one read.
    std::optional<Arrival> receive(uint32_t timeout_ms) override {
        const std::vector<bool> waiting = sock::wait(handles_, timeout_ms);
        for (size_t k = 0; k < handles_.size(); ++k) {
            const size_t i = (next_ + k) % handles_.size();
            if (handles_[i] == sock::NONE || !waiting.at(i)) continue;
            next_ = i + 1;
            std::optional<Datagram> d = sock::read(handles_[i]);
            if (d) return Arrival{i, std::move(*d)};
        }
        return std::nullopt;
    }

    void close(size_t index) override {
        if (index >= handles_.size() || handles_[index] == sock::NONE) return;
        sock::close(handles_[index]);
        handles_[index] = sock::NONE;
    }

private:
    std::vector<sock::Handle> handles_;  // NONE once closed
    size_t next_ = 0;                    // the socket looked at first by the next receive
};

}  // namespace

std::unique_ptr<DatagramEndpoint> open_datagram_endpoint(const Ipv4& local, uint16_t port,
                                                         std::string& error) {
    if (!sock::start(error)) return nullptr;
    const sock::Handle h = sock::open(local, port, error);
    if (h == sock::NONE) return nullptr;
    return std::make_unique<Endpoint>(h);
}

std::unique_ptr<DatagramEndpoints> open_datagram_endpoints(const std::vector<Ipv4>& locals,
                                                           uint16_t port, std::string& error,
                                                           size_t& failed) {
    failed = 0;
    if (locals.size() > MAX_DATAGRAM_ENDPOINTS) {
        failed = MAX_DATAGRAM_ENDPOINTS;
        error = "more than " + std::to_string(MAX_DATAGRAM_ENDPOINTS) + " sockets";
        return nullptr;
    }
    if (!sock::start(error)) return nullptr;
    std::vector<sock::Handle> handles;
    for (size_t i = 0; i < locals.size(); ++i) {
        const sock::Handle h = sock::open(locals[i], port, error);
        if (h == sock::NONE) {
            for (const sock::Handle open : handles) sock::close(open);
            failed = i;
            return nullptr;
        }
        handles.push_back(h);
    }
    return std::make_unique<Endpoints>(std::move(handles));
}

}  // namespace qd
