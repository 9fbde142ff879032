#include "support/junk_stream.hpp"

#include <vector>

#include "protocol/frames.hpp"
#include "support/junk.hpp"
#include "support/udp.hpp"

namespace qd::test {

JunkStream::JunkStream(const TestNetwork& net, const std::string& from_ip, uint32_t seed,
                       std::chrono::seconds limit) {
    thread_ = std::thread([this, &net, from_ip, seed, limit] {
        UdpSocket so = net.in_device([] { return UdpSocket(); });
        if (!so.bind(from_ip, 0)) return;
        JunkMaker junk(seed);
        std::vector<Bytes> pool;
        for (int i = 0; i < 64; ++i) pool.push_back(junk.next().bytes);
        sent_ = stream_to(so, TestNetwork::kServerIp, UPDATE_PORT, pool, stop_,
                          std::chrono::steady_clock::now() + limit);
    });
}

JunkStream::~JunkStream() { stop(); }

uint64_t JunkStream::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return sent_;
}

}  // namespace qd::test
