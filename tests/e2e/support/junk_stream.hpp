// A stream of junk to the server's update port, on a thread of its own: datagrams from one
// address of the devices' side of a test network, sent as fast as the socket takes them, so that
// the server's socket stays readable; bounded in time.
//
//     test::JunkStream stream(net, TestNetwork::device_ip(3), 7, std::chrono::seconds(8));
//     ...
//     const uint64_t sent = stream.stop();
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "support/testnet.hpp"

namespace qd::test {

class JunkStream {
public:
    // Starts sending from `from_ip` (an address of the devices' side) the junk of `seed`, for
    // `limit` at most.
    JunkStream(const TestNetwork& net, const std::string& from_ip, uint32_t seed,
               std::chrono::seconds limit);
    ~JunkStream();
    JunkStream(const JunkStream&) = delete;
    JunkStream& operator=(const JunkStream&) = delete;

    // Ends the stream; the datagrams sent (0 when its address could not be had).
    uint64_t stop();

private:
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0};
    std::thread thread_;
};

}  // namespace qd::test
