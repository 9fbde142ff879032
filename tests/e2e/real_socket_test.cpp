// The exchange on the platform's real sockets, inside a private network namespace: datagrams
// go only over its loopback (127.0.0.1) to and from port 5008.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "protocol/constants.hpp"
#include "protocol/crc.hpp"
#include "protocol/frames.hpp"
#include "server/net/exchange.hpp"
#include "server/server.hpp"
#include "support/fakes.hpp"
#include "support/private_net.hpp"
#include "support/temp_dir.hpp"
#include "support/udp.hpp"

namespace qd {
namespace {

using test::Bytes;

constexpr const char* kLoopback = "127.0.0.1";
constexpr int kWaitMs = 2000;  // longest wait for a datagram on loopback

// --- frames as bytes on the wire ------------------------------------------------------------

void put32(Bytes& f, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const Bytes& f, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(f[at + i]) << (8 * i);
    return v;
}

// The frame's bytes with its CRC set, as the protocol seals it.
template <typename Frame>
Bytes sealed_as(Bytes f) {
    Frame record{};
    from_wire(f.data(), record);
    seal(record);
    to_wire(record, f.data());
    return f;
}

Bytes pattern(size_t size, uint8_t seed) {
    Bytes f(size);
    for (size_t i = 0; i < size; ++i) f[i] = static_cast<uint8_t>(seed + 7 * i);
    return f;
}

Bytes broadcast() {
    Bytes f = pattern(180, 0x11);
    put32(f, 0, FRAME_VERSION);
    put32(f, 4, FRAME_MAGIC);
    put32(f, 44, 7);  // n_frame
    return sealed_as<from_dev_bcst_t>(f);
}

Bytes reply() {
    Bytes f = pattern(300, 0x5C);
    put32(f, 0, FRAME_VERSION);
    put32(f, 4, FRAME_MAGIC);
    put32(f, 28, CMD_WRITE_UP_FLASH);  // get_cmd
    put32(f, 32, RES_OK);              // get_result
    return sealed_as<from_dev_update_t>(f);
}

Bytes resized(Bytes f, size_t size) {
    f.resize(size, 0xA5);
    return f;
}

// --- a server on the real sockets -----------------------------------------------------------

class RealExchange : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(test::enter_private_network(), "");
        const Seams seams{con, clock, system_net(), adapters,
                          [](int code) { throw test::ProcessExit(code); }};
        srv = std::make_unique<Server>(seams, BuildStamp{"Jan  2 2026", "03:04:05"});
        device.emplace();  // made only now, in the private namespace
    }

    void TearDown() override {
        if (srv && srv->exchange.so_rx_s > 0) system_net().close(srv->exchange.so_rx_s);
    }

    void open_rx() {
        open_soc_rx(*srv);
        ASSERT_EQ(con.text(), "");
    }

    // Sends from the device's socket and waits until the datagram is there to be read.
    void arrive(const Bytes& datagram) {
        ASSERT_TRUE(device->send_to(kLoopback, UPDATE_PORT, datagram)) << std::strerror(errno);
        ASSERT_TRUE(test::wait_readable(srv->exchange.so_rx_s, kWaitMs));
    }

    // One Net_Handler poll, with both frames holding leftovers that it must discard.
    int16_t poll() {
        std::memset(&srv->loop.in_bc, 0xEE, sizeof srv->loop.in_bc);
        std::memset(&srv->loop.dlg.in_dev, 0xEE, sizeof srv->loop.dlg.in_dev);
        return Net_Handler(*srv, srv->loop.in_bc, srv->loop.dlg.in_dev);
    }

    Bytes in_bc() const {
        Bytes b(sizeof(from_dev_bcst_t));
        to_wire(srv->loop.in_bc, b.data());
        return b;
    }

    Bytes in_dev() const {
        Bytes b(sizeof(from_dev_update_t));
        to_wire(srv->loop.dlg.in_dev, b.data());
        return b;
    }

    RecordingConsole con;
    VirtualClock clock;
    test::FakeAdapters adapters;
    std::unique_ptr<Server> srv;
    std::optional<test::UdpSocket> device;  // the sender of what arrives
};

bool nonblocking(int fd) { return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

// --- the receive socket ---------------------------------------------------------------------

struct OpenRxCase {
    const char* name;
    bool port_taken;
    uint8_t on_dbg_pr;
    std::string printed;
};

void PrintTo(const OpenRxCase& c, std::ostream* os) { *os << c.name; }

class OpenRx : public RealExchange, public ::testing::WithParamInterface<OpenRxCase> {};

const std::string kBindError =
    "error bind rx: " + std::to_string(EADDRINUSE) +
    "\nПорт 5008 занят другой программой или недоступен, ждем его освобождения\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenRx,
    ::testing::Values(OpenRxCase{"Free", false, 0, ""},
                      OpenRxCase{"FreeVerbose", false, 1, "Create soc rx ()\n"},
                      OpenRxCase{"Taken", true, 0, kBindError},
                      OpenRxCase{"TakenVerbose", true, 1, kBindError}),
    [](const auto& c) { return std::string(c.param.name); });

// Bound to port 5008 on every address, or, when another socket holds the port, reported and
// left unbound: then the datagrams to 5008 go to that other socket and every poll is empty.
TEST_P(OpenRx, BindsPort5008OrReportsTheErrorCode) {
    const OpenRxCase& c = GetParam();
    test::UdpSocket holder;
    if (c.port_taken) {
        ASSERT_TRUE(holder.bind(kLoopback, UPDATE_PORT));
    }
    srv->cfg.on_dbg_pr = c.on_dbg_pr;

    open_soc_rx(*srv);

    EXPECT_EQ(con.text(), c.printed);
    ASSERT_GT(srv->exchange.so_rx_s, 0);
    EXPECT_TRUE(nonblocking(srv->exchange.so_rx_s));
    sockaddr_in local{};
    socklen_t len = sizeof local;
    ASSERT_EQ(::getsockname(srv->exchange.so_rx_s, reinterpret_cast<sockaddr*>(&local), &len), 0);
    EXPECT_EQ(ntohs(local.sin_port), c.port_taken ? 0 : UPDATE_PORT);
    EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_ANY));

    ASSERT_TRUE(device->send_to(kLoopback, UPDATE_PORT, broadcast()));
    if (c.port_taken) {
        ASSERT_TRUE(holder.receive(kWaitMs).has_value());
        EXPECT_EQ(poll(), NET_RX_NONE);
    } else {
        ASSERT_TRUE(test::wait_readable(srv->exchange.so_rx_s, kWaitMs));
        EXPECT_EQ(poll(), NET_RX_BCST);
    }
}

// Start-up goes on after the failed bind: the adapter heading follows the error at once.
TEST_F(RealExchange, StartUpGoesOnWhenPort5008IsTaken) {
    test::UdpSocket holder;
    ASSERT_TRUE(holder.bind(kLoopback, UPDATE_PORT));
    test::TempWorkDir dir;
    const char* argv[] = {"qd-server", "absent.ini"};

    EXPECT_EQ(start_server(*srv, 2, argv), std::nullopt);

    const std::string sep = std::string(56, '-') + "\n";
    const std::string text = con.text();
    EXPECT_NE(text.find(sep + kBindError + "Обнаружены ETH адаптеры:\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Старт сервера обновлений... \n"), std::string::npos) << text;
}

// --- Net_Handler ----------------------------------------------------------------------------

enum class Kept { none, in_bc, in_dev };

struct PollCase {
    const char* name;
    std::optional<Bytes> datagram;  // nothing: no datagram waiting
    int16_t result;
    Kept kept;             // which frame keeps the datagram's bytes; the others are all zero
    std::string progress;  // console at the compact level
};

void PrintTo(const PollCase& c, std::ostream* os) { *os << c.name; }

// What only the real socket decides: an empty socket, a datagram as long as the receive buffer,
// longer ones, an empty datagram, and one broadcast and one reply through it. How each length and
// header is sorted is the same code on any socket: exchange_test's polling table.
std::vector<PollCase> poll_cases() {
    return {
        {"NothingWaiting", std::nullopt, NET_RX_NONE, Kept::none, ""},
        {"ValidBroadcast", broadcast(), NET_RX_BCST, Kept::in_bc, "B"},
        {"ValidReply", reply(), NET_RX_DEV, Kept::in_dev, "D"},
        {"Empty", Bytes{}, NET_RX_NONE, Kept::none, ""},
        {"FullBuffer512", resized(broadcast(), 512), NET_RX_NONE, Kept::none, ""},
        {"Oversize600", resized(broadcast(), 600), NET_RX_NONE, Kept::none, ""},
    };
}

class Poll : public RealExchange, public ::testing::WithParamInterface<PollCase> {};

INSTANTIATE_TEST_SUITE_P(Cases, Poll, ::testing::ValuesIn(poll_cases()),
                         [](const auto& c) { return std::string(c.param.name); });

// One poll sorts one datagram, leaves its bytes only in the frame of its length, and consumes
// it: the next poll finds nothing.
TEST_P(Poll, SortsOneDatagram) {
    const PollCase& c = GetParam();
    open_rx();
    if (c.datagram) arrive(*c.datagram);

    EXPECT_EQ(poll(), c.result);

    const Bytes zero_bc(sizeof(from_dev_bcst_t)), zero_dev(sizeof(from_dev_update_t));
    EXPECT_EQ(in_bc(), c.kept == Kept::in_bc ? *c.datagram : zero_bc);
    EXPECT_EQ(in_dev(), c.kept == Kept::in_dev ? *c.datagram : zero_dev);
    EXPECT_EQ(con.text(), c.progress);
    EXPECT_EQ(poll(), NET_RX_NONE);
    EXPECT_EQ(in_bc(), zero_bc);
    EXPECT_EQ(in_dev(), zero_dev);
}

// Datagrams wait in the order they came; each poll takes only the first of them.
TEST_F(RealExchange, TwoWaitingDatagramsTakeTwoPolls) {
    open_rx();
    struct Order {
        Bytes first, second;
        int16_t first_result, second_result;
        const char* progress;
    };
    for (const Order& o : {Order{broadcast(), reply(), NET_RX_BCST, NET_RX_DEV, "BD"},
                           Order{reply(), broadcast(), NET_RX_DEV, NET_RX_BCST, "DB"}}) {
        SCOPED_TRACE(o.progress);
        con.clear();
        ASSERT_TRUE(device->send_to(kLoopback, UPDATE_PORT, o.first));
        ASSERT_TRUE(device->send_to(kLoopback, UPDATE_PORT, o.second));
        ASSERT_TRUE(test::wait_readable(srv->exchange.so_rx_s, kWaitMs));
        EXPECT_EQ(poll(), o.first_result);
        // The second may have been read ahead with the first: waiting is asked of the server's
        // sockets, not of the kernel's.
        ASSERT_TRUE(system_net().wait_readable(srv->exchange.so_rx_s, kWaitMs));
        EXPECT_EQ(poll(), o.second_result);
        EXPECT_EQ(poll(), NET_RX_NONE);
        EXPECT_EQ(con.text(), o.progress);
    }
}

// Many datagrams waiting at once, from several senders, more than one read of the socket takes:
// each comes out whole, in the order it came, with its sender; one longer than the buffer is
// dropped in its place and the next follows it; a socket closed forgets what was read ahead.
TEST_F(RealExchange, ManyWaitingDatagramsComeOutOneAtATimeInOrder) {
    open_rx();
    Net& net = system_net();
    const int so = srv->exchange.so_rx_s;
    std::vector<test::UdpSocket> senders(3);
    const char* from_ip[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
    for (size_t i = 0; i < senders.size(); ++i) ASSERT_TRUE(senders[i].bind(from_ip[i], 0));
    constexpr size_t kCount = 75;
    constexpr size_t kOversize = 40;
    auto length_of = [](size_t n) { return n == kOversize ? size_t{600} : (n * 37) % 513; };
    for (size_t n = 0; n < kCount; ++n) {
        ASSERT_TRUE(senders[n % 3].send_to(kLoopback, UPDATE_PORT, pattern(length_of(n), static_cast<uint8_t>(n))));
    }
    ASSERT_TRUE(test::wait_readable(so, kWaitMs));
    for (size_t n = 0; n < kCount; ++n) {
        SCOPED_TRACE(n);
        ASSERT_TRUE(net.wait_readable(so, kWaitMs));
        uint8_t buf[512];
        uint32_t from = 0;
        const int len = net.receive_from(so, buf, sizeof buf, from);
        if (n == kOversize) {
            EXPECT_EQ(len, -1);
            continue;
        }
        ASSERT_EQ(len, static_cast<int>(length_of(n)));
        EXPECT_EQ(Bytes(buf, buf + len), pattern(length_of(n), static_cast<uint8_t>(n)));
        EXPECT_EQ(from, net.address_of(from_ip[n % 3]));
    }
    uint8_t buf[512];
    uint32_t from = 0;
    EXPECT_FALSE(net.wait_readable(so, 0));
    EXPECT_EQ(net.receive_from(so, buf, sizeof buf, from), -1);

    // Two left unread when the socket is closed: its successor (the same handle, most likely)
    // gets only what is sent to it.
    for (size_t n = 0; n < 3; ++n) ASSERT_TRUE(senders[0].send_to(kLoopback, UPDATE_PORT, pattern(20, 1)));
    ASSERT_TRUE(test::wait_readable(so, kWaitMs));
    ASSERT_EQ(net.receive_from(so, buf, sizeof buf, from), 20);
    net.close(so);
    srv->exchange.so_rx_s = -1;
    open_rx();
    const int again = srv->exchange.so_rx_s;
    EXPECT_FALSE(net.wait_readable(again, 0));
    ASSERT_TRUE(senders[1].send_to(kLoopback, UPDATE_PORT, pattern(30, 2)));
    ASSERT_TRUE(net.wait_readable(again, kWaitMs));
    ASSERT_EQ(net.receive_from(again, buf, sizeof buf, from), 30);
    EXPECT_EQ(Bytes(buf, buf + 30), pattern(30, 2));
    EXPECT_EQ(net.receive_from(again, buf, sizeof buf, from), -1);
}

// At the frame-trace level each poll shows the length that the socket gave.
TEST_F(RealExchange, TraceShowsTheReceivedLength) {
    open_rx();
    srv->cfg.on_dbg_pf = 1;
    srv->cfg.on_dbg_pr = 1;
    for (const size_t length : {size_t{0}, size_t{1}, size_t{250}, size_t{301}}) {
        SCOPED_TRACE(length);
        con.clear();
        arrive(Bytes(length, 0x42));
        EXPECT_EQ(poll(), NET_RX_NONE);
        EXPECT_EQ(con.text(), "   RX byte:" + std::to_string(length) + "; ");
    }
    con.clear();
    EXPECT_EQ(poll(), NET_RX_NONE);
    EXPECT_EQ(con.text(), "   RX byte:-1; ");
}

// --- the send socket ------------------------------------------------------------------------

// Each command leaves as one 288-byte datagram for port 5008 of dev_IP, from a port of the
// system's choosing, numbered on from the last; in_dev is cleared after sending.
TEST_F(RealExchange, CommandsLeaveAsDatagramsOf288BytesToTheDevice) {
    test::UdpSocket dev;
    ASSERT_TRUE(dev.bind(kLoopback, UPDATE_PORT));
    std::strcpy(srv->loop.dlg.dev_IP, kLoopback);
    srv->exchange.counter_frames = 41;
    open_soc_tx(*srv, srv->loop.dlg);
    ASSERT_GT(srv->exchange.so_tx_s, 0);
    EXPECT_TRUE(nonblocking(srv->exchange.so_tx_s));
    srv->loop.dlg.out_serv.f_address = FLASH_BASE + 0x100;
    srv->loop.dlg.out_serv.size = WRITE_BLOCK_SIZE;
    const Bytes payload = pattern(256, 0x90);

    const uint8_t codes[] = {CMD_WRITE_UP_FLASH, CMD_JUMP_TO_APP};
    for (uint32_t n = 0; n < 2; ++n) {
        SCOPED_TRACE(n);
        prep_cmd(*srv, srv->loop.dlg.out_serv, codes[n], payload.data());
        std::memset(&srv->loop.dlg.in_dev, 0xEE, sizeof srv->loop.dlg.in_dev);
        tx_struct(*srv, srv->loop.dlg);
        const std::optional<test::Datagram> d = dev.receive(kWaitMs);
        ASSERT_TRUE(d.has_value());
        const Bytes& f = d->data;
        ASSERT_EQ(f.size(), 288u);
        EXPECT_EQ(get32(f, 0), FRAME_VERSION);
        EXPECT_EQ(get32(f, 4), FRAME_MAGIC);
        EXPECT_EQ(get32(f, 8), UPDATE_PORT);
        EXPECT_EQ(get32(f, 12), 41 + n);
        EXPECT_EQ(get32(f, 16), codes[n]);
        EXPECT_EQ(get32(f, 20), FLASH_BASE + 0x100);
        EXPECT_EQ(get32(f, 24), WRITE_BLOCK_SIZE);
        EXPECT_EQ(Bytes(f.begin() + 28, f.begin() + 284), payload);
        EXPECT_TRUE(sealed(f.data(), CMD_CRC_LEN));
        EXPECT_EQ(d->from_ip, kLoopback);
        EXPECT_NE(d->from_port, UPDATE_PORT);
        EXPECT_EQ(in_dev(), Bytes(sizeof(from_dev_update_t)));
    }
    EXPECT_EQ(con.text(), ">>");

    const int so = srv->exchange.so_tx_s;
    close_socets_tx(*srv);
    EXPECT_EQ(::fcntl(so, F_GETFD), -1) << "the send socket is still open";
}

}  // namespace
}  // namespace qd
