// The device side's sets of sockets, on loopback: a set opens whole or not at all, its sockets
// with datagrams waiting take turns, and a closed one neither sends nor receives and frees its
// address.
#include "platform/datagram.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qd {
namespace {

constexpr uint16_t kPort = 45108;

// The unit tests run in shards at the same time: each test has addresses of its own on
// loopback, 127.78.net.1 to .3, so that no two of them bind the same one.
struct Loopback {
    explicit Loopback(uint8_t net)
        : sender{127, 78, net, 1}, first{127, 78, net, 2}, second{127, 78, net, 3} {}
    Ipv4 sender;
    Ipv4 first;
    Ipv4 second;
};

TEST(DatagramSet, OneThatCannotBeHadLeavesNoneOpen) {
    const Ipv4 first = Loopback(1).first;
    std::string error;
    size_t failed = 99;
    // The second socket wants the address and port that the first has just taken.
    EXPECT_EQ(open_datagram_endpoints({first, first}, kPort, error, failed), nullptr);
    EXPECT_EQ(failed, 1u);
    EXPECT_NE(error.find("bind"), std::string::npos) << error;
    // The socket that was had is closed again.
    EXPECT_NE(open_datagram_endpoint(first, kPort, error), nullptr) << error;
}

TEST(DatagramSet, MoreThanTheWaitTakesIsRefusedBeforeAnySocket) {
    const Ipv4 first = Loopback(2).first;
    std::string error;
    size_t failed = 0;
    const std::vector<Ipv4> locals(MAX_DATAGRAM_ENDPOINTS + 1, first);
    EXPECT_EQ(open_datagram_endpoints(locals, kPort, error, failed), nullptr);
    EXPECT_EQ(failed, MAX_DATAGRAM_ENDPOINTS);
    EXPECT_EQ(error, "more than 64 sockets");
    EXPECT_NE(open_datagram_endpoint(first, kPort, error), nullptr) << error;
}

class TwoSockets : public ::testing::Test {
protected:
    // Opens the sender and a set of two sockets on loopback network `net`; skips the test
    // where the system cannot have the two.
    void open(uint8_t net) {
        at_ = Loopback(net);
        std::string error;
        size_t failed = 0;
        sender_ = open_datagram_endpoint(at_.sender, kPort + 1, error);
        ASSERT_NE(sender_, nullptr) << error;
        set_ = open_datagram_endpoints({at_.first, at_.second}, kPort, error, failed);
#if defined(_WIN32)
        // Wine refuses a second socket on a port that another one has, whatever their
        // addresses (10048), where Windows binds each address on its own.
        if (set_ == nullptr && error.find("10048") != std::string::npos) {
            GTEST_SKIP() << "several addresses on one port: " << error;
        }
#endif
        ASSERT_NE(set_, nullptr) << failed << ": " << error;
    }

    void send(uint8_t byte, const Ipv4& to) {
        ASSERT_TRUE(sender_->send_to({byte}, to, kPort));
    }

    Loopback at_{0};
    std::unique_ptr<DatagramEndpoint> sender_;
    std::unique_ptr<DatagramEndpoints> set_;
};

TEST_F(TwoSockets, TakeTurnsWhileBothHaveDatagramsWaiting) {
    ASSERT_NO_FATAL_FAILURE(open(3));
    if (IsSkipped()) return;
    for (const uint8_t b : std::vector<uint8_t>{0xA0, 0xA1, 0xA2}) send(b, at_.first);
    for (const uint8_t b : std::vector<uint8_t>{0xB0, 0xB1}) send(b, at_.second);
    std::vector<size_t> sockets;
    std::vector<uint8_t> bytes;
    for (int n = 0; n < 6; ++n) {
        const std::optional<Arrival> a = set_->receive(n < 5 ? 2000 : 50);
        if (!a) break;
        ASSERT_EQ(a->datagram.bytes.size(), 1u);
        EXPECT_EQ(a->datagram.from, at_.sender);
        EXPECT_EQ(a->datagram.from_port, kPort + 1);
        sockets.push_back(a->socket);
        bytes.push_back(a->datagram.bytes[0]);
    }
    EXPECT_EQ(sockets, (std::vector<size_t>{0, 1, 0, 1, 0}));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0xA0, 0xB0, 0xA1, 0xB1, 0xA2}));
}

TEST_F(TwoSockets, AClosedOneNeitherSendsNorReceivesAndFreesItsAddress) {
    ASSERT_NO_FATAL_FAILURE(open(4));
    if (IsSkipped()) return;
    set_->close(0);
    set_->close(0);   // again: nothing
    set_->close(7);   // no such socket: nothing
    EXPECT_FALSE(set_->send_to(0, {0x01}, at_.sender, kPort + 1));
    EXPECT_FALSE(set_->send_to(2, {0x01}, at_.sender, kPort + 1));
    send(0xA0, at_.first);
    send(0xB0, at_.second);
    const std::optional<Arrival> a = set_->receive(2000);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->socket, 1u);
    EXPECT_EQ(a->datagram.bytes, std::vector<uint8_t>{0xB0});
    EXPECT_FALSE(set_->receive(50).has_value());

    std::string error;
    EXPECT_NE(open_datagram_endpoint(at_.first, kPort, error), nullptr) << error;
    // The open one still sends.
    EXPECT_TRUE(set_->send_to(1, {0x02}, at_.sender, kPort + 1));
    const std::optional<Datagram> back = sender_->receive(2000);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->from, at_.second);
}

}  // namespace
}  // namespace qd
