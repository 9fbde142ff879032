// Sockets, command frames, sending and the sorting of received datagrams.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/bytes.hpp"
#include "protocol/crc.hpp"
#include "server/net/exchange.hpp"
#include "server/console/report.hpp"
#include "support/fakes.hpp"
#include "support/frames_builder.hpp"

namespace qd {
namespace {

using test::Bytes;

Bytes bytes_of(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    return Bytes(b, b + n);
}

class Exchanging : public ::testing::Test {
protected:
    Server& srv() { return *t.srv; }
    void level(uint32_t pr, uint32_t pf) {
        srv().cfg.on_dbg_pr = pr;
        srv().cfg.on_dbg_pf = pf;
    }
    test::TestServer t;
    uint8_t ext[256] = {};  // the payload a command carries
};

TEST_F(Exchanging, FirstCommandOfTheProcessByteForByte) {
    level(1, 0);
    std::strcpy(srv().loop.dlg.dev_IP, "192.168.1.20");
    open_soc_tx(srv(), srv().loop.dlg);
    prep_cmd(srv(), srv().loop.dlg.out_serv, CMD_NOP, ext);
    tx_struct(srv(), srv().loop.dlg);
    ASSERT_EQ(t.net.sent.size(), 1u);
    const auto& d = t.net.sent[0];
    Bytes expected = {0x01, 0, 0, 0, 0x7B, 0xE2, 0x13, 0x23, 0x90, 0x13, 0, 0};
    expected.resize(284, 0);  // n_frame 0, cmd 0, f_address 0, size 0, 256 zero payload bytes
    for (int b : {0x57, 0xAE, 0x62, 0x71}) expected.push_back(static_cast<uint8_t>(b));  // CRC-32 7162AE57
    EXPECT_EQ(d.data, expected);
    EXPECT_EQ(d.addr, t.net.address_of("192.168.1.20"));
    EXPECT_EQ(d.port, 5008);
    EXPECT_EQ(d.so, srv().exchange.so_tx_s);
    EXPECT_EQ(srv().exchange.counter_frames, 1u);
}

TEST_F(Exchanging, PasswordCommandCarriesPayloadAddressAndNumber) {
    level(1, 0);
    Exchange& x = srv().exchange;
    x.counter_frames = 5;
    srv().loop.dlg.out_serv.f_address = 0x0802DF00;  // left by an earlier write
    for (int i = 0; i < 256; ++i) ext[i] = static_cast<uint8_t>(i);
    const uint32_t pass = 0x1A2B3C4D;
    int_to_byte(&pass, ext, 0);
    prep_cmd(srv(), srv().loop.dlg.out_serv, CMD_SET_PASS_BIN, ext);
    tx_struct(srv(), srv().loop.dlg);
    const Bytes& d = t.net.sent.at(0).data;
    ASSERT_EQ(d.size(), 288u);
    EXPECT_EQ(Bytes(d.begin() + 12, d.begin() + 32),
              (Bytes{5, 0, 0, 0, 4, 0, 0, 0, 0x00, 0xDF, 0x02, 0x08, 0, 0, 0, 0, 0x4D, 0x3C,
                     0x2B, 0x1A}));
    EXPECT_EQ(d[28 + 255], 255);
    EXPECT_EQ(Bytes(d.begin() + 284, d.end()), (Bytes{0x07, 0x69, 0x85, 0x62}));
    EXPECT_EQ(x.counter_frames, 6u);
}

TEST_F(Exchanging, SendingClearsTheReplyAndShowsProgressAtTheCompactLevel) {
    level(0, 0);
    std::memset(&srv().loop.dlg.in_dev, 0xAB, sizeof srv().loop.dlg.in_dev);
    prep_cmd(srv(), srv().loop.dlg.out_serv, CMD_NOP, ext);
    tx_struct(srv(), srv().loop.dlg);
    EXPECT_EQ(t.con.text(), ">");
    EXPECT_EQ(bytes_of(&srv().loop.dlg.in_dev, 300), Bytes(300, 0));
}

TEST_F(Exchanging, FrameTraceOfACommand) {
    level(1, 1);
    std::strcpy(srv().loop.dlg.dev_IP, "10.0.0.7");
    open_soc_tx(srv(), srv().loop.dlg);
    prep_cmd(srv(), srv().loop.dlg.out_serv, CMD_NOP, ext);
    tx_struct(srv(), srv().loop.dlg);
    close_socets_tx(srv());
    EXPECT_EQ(t.con.text(),
              "Create soc tx. IP: 10.0.0.7, Port: 5008\n"
              "Create TX struct. S:284; Calc CRC32:7162AE57;\n"
              "\n TX byte: 288; CMD:0 \n"
              "closesocket() DEV ok! \n");
    EXPECT_EQ(t.net.closed, std::vector<int>{srv().exchange.so_tx_s});
}

// A failed send is a failed attempt: its line, at every level without anything else, and the
// process goes on with the reply buffer untouched.
TEST_F(Exchanging, FailedSendSaysSoAndReturnsFalse) {
    for (const uint32_t pf : {0u, 1u}) {
        level(0, pf);
        t.con.clear();
        t.net.fail_send = true;
        std::memset(&srv().loop.dlg.in_dev, 0xAB, sizeof srv().loop.dlg.in_dev);
        prep_cmd(srv(), srv().loop.dlg.out_serv, CMD_NOP, ext);
        t.con.clear();
        EXPECT_FALSE(tx_struct(srv(), srv().loop.dlg));
        EXPECT_EQ(t.con.text(), "ERR: sendto()failed: -1\n");
        t.net.fail_send = false;
        EXPECT_TRUE(tx_struct(srv(), srv().loop.dlg));
    }
    EXPECT_EQ(t.net.sent.size(), 2u);
}

TEST_F(Exchanging, FatalSocketErrorsEndTheProcessWithMinusOne) {
    t.con.clear();
    t.net.fail_close = true;
    EXPECT_THROW(close_socets_tx(srv()), test::ProcessExit);
    EXPECT_EQ(t.con.text(), "ERROR - closesocket() failed \n");

    t.con.clear();
    t.net.fail_open = true;
    EXPECT_THROW(open_soc_tx(srv(), srv().loop.dlg), test::ProcessExit);
    EXPECT_THROW(open_soc_rx(srv()), test::ProcessExit);
    EXPECT_EQ(t.con.text(), "ERROR - create socket() failed \nERROR - create socket() failed \n");
}

TEST_F(Exchanging, ReceiveSocketBindsPort5008OrSaysWhyNot) {
    level(1, 0);
    open_soc_rx(srv());
    EXPECT_EQ(t.net.binds, (std::vector<std::pair<int, uint16_t>>{{srv().exchange.so_rx_s, 5008}}));
    EXPECT_EQ(t.net.nonblocking, std::vector<int>{srv().exchange.so_rx_s});
    EXPECT_EQ(t.con.text(), "Create soc rx ()\n");

    t.con.clear();
    t.net.fail_bind = true;
    open_soc_rx(srv());  // goes on
    EXPECT_EQ(t.con.text(),
              "error bind rx: 98\n"
              "Порт 5008 занят другой программой или недоступен, ждем его освобождения\n");
}

// What one poll makes of one datagram, at each console level.
struct PollCase {
    const char* name;
    Bytes datagram;  // empty: nothing waiting
    int16_t result;
    bool keeps_bc;  // in_bc holds the datagram afterwards
    bool keeps_dev;
    std::string compact;
    std::string trace;  // at DebugPrint=2; DebugPrint=1 prints nothing
};

void PrintTo(const PollCase& c, std::ostream* os) { *os << c.name; }

Bytes with_vers(Bytes b, uint8_t v) {
    b[0] = v;
    return b;
}
Bytes with_magic_last_byte(Bytes b, uint8_t v) {
    b[4] = v;
    return b;
}
Bytes damaged(Bytes b) {
    b[b.size() - 1] ^= 0x01;
    return b;
}
std::string hex(uint32_t v) {
    char s[16];
    std::snprintf(s, sizeof s, "%X", v);
    return s;
}

const Bytes kBc = test::wire(test::broadcast());
const Bytes kDev = test::wire(test::reply(0, 1));
const std::string kBcCrc = hex(fullcalk_crc32(kBc.data(), 176, CRC32_POLY));
const std::string kDevCrc = hex(fullcalk_crc32(kDev.data(), 296, CRC32_POLY));

Bytes long_datagram() {
    Bytes b = kDev;
    b.resize(600, 0);
    return b;
}

class Polling : public ::testing::TestWithParam<PollCase> {};

TEST_P(Polling, SortsTheDatagramAndLeavesBothFrames) {
    const auto& c = GetParam();
    for (int lvl : {0, 1, 2}) {
        test::TestServer t;
        t.srv->cfg.on_dbg_pr = lvl >= 1;
        t.srv->cfg.on_dbg_pf = lvl == 2;
        if (!c.datagram.empty()) t.net.arrive(c.datagram);
        LoopState& x = t.srv->loop;
        std::memset(&x.in_bc, 0xCC, sizeof x.in_bc);  // the previous poll's leftovers
        std::memset(&t.srv->loop.dlg.in_dev, 0xCC, sizeof t.srv->loop.dlg.in_dev);
        EXPECT_EQ(Net_Handler(*t.srv, x.in_bc, t.srv->loop.dlg.in_dev), c.result) << lvl;
        EXPECT_EQ(bytes_of(&x.in_bc, 180), c.keeps_bc ? c.datagram : Bytes(180, 0)) << lvl;
        EXPECT_EQ(bytes_of(&t.srv->loop.dlg.in_dev, 300), c.keeps_dev ? c.datagram : Bytes(300, 0)) << lvl;
        const std::string expected = lvl == 0 ? c.compact : lvl == 2 ? c.trace : "";
        EXPECT_EQ(t.con.text(), expected) << lvl;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Polling,
    ::testing::Values(
        PollCase{"nothing", {}, 0, false, false, "", "   RX byte:-1; "},
        PollCase{"broadcast", kBc, 1, true, false, "B",
                 "   RX byte:180; BC, CRC calc:" + kBcCrc + ", CRC rec:" + kBcCrc +
                     " OK! Frame:42\n"},
        PollCase{"broadcast_version_2", with_vers(kBc, 2), 0, true, false, "",
                 "   RX byte:180; "},
        PollCase{"broadcast_wrong_magic", with_magic_last_byte(kBc, 0x7C), 0, true, false, "",
                 "   RX byte:180; "},
        PollCase{"broadcast_bad_crc", damaged(kBc), -1, true, false, "",
                 "   RX byte:180; BC, CRC calc:" + kBcCrc + ", CRC rec:" +
                     hex(fullcalk_crc32(kBc.data(), 176, CRC32_POLY) ^ 0x01000000) +
                     " ERROR! \n"},
        PollCase{"reply", kDev, 2, false, true, "D",
                 "   RX byte:300; DEV, CRC calc:" + kDevCrc + ", CRC rec:" + kDevCrc +
                     " Frame:7 CMD:0 Result:1 \n"},
        PollCase{"reply_version_0", with_vers(kDev, 0), 0, false, true, "", "   RX byte:300; "},
        PollCase{"reply_magic_2313E27C", [] {
                     Bytes b = kDev;
                     b[4] = 0x7C;
                     return b;
                 }(),
                 0, false, true, "", "   RX byte:300; "},
        PollCase{"reply_bad_crc", damaged(kDev), -2, false, true, "",
                 "   RX byte:300; DEV, CRC calc:" + kDevCrc + ", CRC rec:" +
                     hex(fullcalk_crc32(kDev.data(), 296, CRC32_POLY) ^ 0x01000000) +
                     " ERROR! \n"},
        PollCase{"length_179", Bytes(kBc.begin(), kBc.end() - 1), 0, false, false, "",
                 "   RX byte:179; "},
        PollCase{"length_181", [] {
                     Bytes b = kBc;
                     b.push_back(0);
                     return b;
                 }(),
                 0, false, false, "", "   RX byte:181; "},
        PollCase{"command_288", Bytes(288, 0), 0, false, false, "", "   RX byte:288; "},
        PollCase{"length_301", [] {
                     Bytes b = kDev;
                     b.push_back(0);
                     return b;
                 }(),
                 0, false, false, "", "   RX byte:301; "},
        PollCase{"over_512_bytes", long_datagram(), 0, false, false, "", "   RX byte:-1; "}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(PollingOrder, OneDatagramPerPoll) {
    test::TestServer t;
    LoopState& x = t.srv->loop;
    t.net.arrive(kBc);
    t.net.arrive(kDev);
    EXPECT_EQ(Net_Handler(*t.srv, x.in_bc, t.srv->loop.dlg.in_dev), 1);
    EXPECT_EQ(t.net.queue.size(), 1u);
    EXPECT_EQ(Net_Handler(*t.srv, x.in_bc, t.srv->loop.dlg.in_dev), 2);
    EXPECT_EQ(bytes_of(&x.in_bc, 180), Bytes(180, 0));  // the broadcast is gone
    EXPECT_EQ(Net_Handler(*t.srv, x.in_bc, t.srv->loop.dlg.in_dev), 0);
}

// The result is a 16-bit value with its sign: 0xFFFE for a damaged reply.
TEST(PollingOrder, NegativeResultsAreSignExtended) {
    test::TestServer t;
    t.net.arrive(damaged(kDev));
    const int16_t r = Net_Handler(*t.srv, t.srv->loop.in_bc, t.srv->loop.dlg.in_dev);
    EXPECT_EQ(static_cast<uint16_t>(r), 0xFFFEu);
}

struct ReportCase {
    const char* name;
    uint32_t pr;
    uint32_t result;
    std::string expected;
};

void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

class Reporting : public ::testing::TestWithParam<ReportCase> {};

TEST_P(Reporting, ReplyReport) {
    const auto& c = GetParam();
    test::TestServer t;
    t.srv->cfg.on_dbg_pr = c.pr;
    unif_dbg_out(*t.srv, test::reply(4, c.result, 12), "CMD_SET_PASS_BIN");
    EXPECT_EQ(t.con.text(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Reporting,
    ::testing::Values(
        ReportCase{"compact_ok", 0, 1, "[05/03/2026 09:08:07]CMD_SET_PASS_BIN{4} Res:1 Time:12 ms\n"},
        ReportCase{"compact_refused", 0, 7,
                   "[05/03/2026 09:08:07]CMD_SET_PASS_BIN{4} Res:7 Time:12 ms\n"},
        ReportCase{"verbose_ok", 1, 1, "CMD_SET_PASS_BIN{4} Time:12 ms\n"},
        ReportCase{"verbose_7", 1, 7,
                   "CMD_SET_PASS_BIN{4} Time:12 ms Error code:7  Неправильный пароль\n"},
        ReportCase{"verbose_0", 1, 0, "CMD_SET_PASS_BIN{4} Time:12 ms Error code:0  Общая ошибка\n"},
        ReportCase{"verbose_9", 1, 9, "CMD_SET_PASS_BIN{4} Time:12 ms Error code:9  OB не записаны \n"},
        ReportCase{"verbose_11", 1, 11,
                   "CMD_SET_PASS_BIN{4} Time:12 ms Error code:11  Обновление заблокировано джампером\n"},
        ReportCase{"verbose_12_leaves_line_open", 1, 12, "CMD_SET_PASS_BIN{4} Time:12 ms Error code:12  "},
        ReportCase{"verbose_negative", 1, 0xFFFFFFFF, "CMD_SET_PASS_BIN{4} Time:12 ms Error code:-1  "}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(ReportingExchange, CompactExchangeKeepsOneLine) {
    test::TestServer t;
    LoopState& x = t.srv->loop;
    const uint8_t ext[256] = {};
    prep_cmd(*t.srv, t.srv->loop.dlg.out_serv, CMD_NOP, ext);
    tx_struct(*t.srv, t.srv->loop.dlg);  // an attempt without an answer
    prep_cmd(*t.srv, t.srv->loop.dlg.out_serv, CMD_NOP, ext);
    tx_struct(*t.srv, t.srv->loop.dlg);
    t.net.arrive(kDev);
    ASSERT_EQ(Net_Handler(*t.srv, x.in_bc, t.srv->loop.dlg.in_dev), 2);
    unif_dbg_out(*t.srv, t.srv->loop.dlg.in_dev, "CMD_NOP");
    EXPECT_EQ(t.con.text(), ">>D[05/03/2026 09:08:07]CMD_NOP{0} Res:1 Time:5 ms\n");
}

}  // namespace
}  // namespace qd
