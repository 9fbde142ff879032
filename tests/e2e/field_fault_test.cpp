// Faults of the field on the test network: qd-server in its namespace at 198.18.0.1 and qd-devsim
// devices in theirs at 198.18.0.2 and up, on real UDP.
//
//   LinkDown:        the server's link down for 3 s in the middle of the write loop: each send
//                    fails, and the update goes on when the link is back.
//   RogueAddresses:  announcements whose device address can be no device's: never answered.
//   SlowDevice:      a device whose replies come after the pause, before the next attempt's poll.
//   BoardsInARow:    boards one after the other at one address with random faults, a soak
//                    (QD_SOAK_BOARDS boards per mode, 5 when it is not set; QD_SOAK_COUNTER
//                    the boards' --reply-counter, replies when it is not set).
//
// Every case checks outcomes, never durations; each prints its figures as lines starting with
// "[figure]" (see docs/robustness.md).
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frames.hpp"
#include "support/bench.hpp"
#include "support/devsim_result.hpp"
#include "support/figure.hpp"
#include "support/junk.hpp"
#include "support/proc_stats.hpp"
#include "support/trace.hpp"
#include "support/udp.hpp"

namespace qd {
namespace {

using test::Bench;
using test::DevsimResult;
using test::figure;
using test::Process;
using test::seconds_since;
using test::ServerSettings;
using test::TestNetwork;
using test::TraceEvent;
using Clock = std::chrono::steady_clock;
using Events = std::vector<TraceEvent>;

constexpr int kBlocks = 480;
constexpr int64_t kContainerCrc = 0xD718226B;
constexpr int kDeviceMs = 120000;  // the longest wait for a device to end (its own limit is lower)
constexpr int kSettleMs = 120000;  // for the server to end a dialogue
const std::string kDeviceLimit = "100000";
const std::string kSep = std::string(56, '-') + "\n";

// --- small helpers -------------------------------------------------------------------------

std::string ip(int n) { return TestNetwork::device_ip(n); }

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::vector<int64_t> of_kind(const Events& events, TraceEvent::Kind kind) {
    std::vector<int64_t> values;
    for (const TraceEvent& e : events) {
        if (e.kind == kind) values.push_back(e.a);
    }
    return values;
}

// 0, 1, ... 479, `passes` times.
std::vector<int64_t> every_block(size_t passes = 1) {
    std::vector<int64_t> blocks;
    for (size_t p = 0; p < passes; ++p) {
        for (int n = 0; n < kBlocks; ++n) blocks.push_back(n);
    }
    return blocks;
}

// Each block accepted once, in order, and one flash CRC, the container's, read back.
void expect_whole_update(const Events& dialogue) {
    EXPECT_EQ(of_kind(dialogue, TraceEvent::block), every_block())
        << "each block accepted once, in order";
    EXPECT_EQ(of_kind(dialogue, TraceEvent::flash_crc), std::vector<int64_t>{kContainerCrc});
}

void expect_known_lines(const std::string& transcript) {
    const std::vector<std::string> unknown = test::unknown_lines(transcript);
    EXPECT_TRUE(unknown.empty()) << unknown.size() << " lines of no known form, the first: "
                                 << (unknown.empty() ? "" : unknown.front());
}

// The events of the first dialogue: from opening the send socket to closing it.
Events first_dialogue(const Events& all) {
    Events d;
    bool in = false;
    for (const TraceEvent& e : all) {
        if (e.kind == TraceEvent::tx_opened) in = true;
        if (in) d.push_back(e);
        if (in && e.kind == TraceEvent::tx_closed) break;
    }
    return d;
}

// A device that announces itself once and must end with the container in its flash.
std::vector<std::string> updated_device(int n, const std::string& mac,
                                        std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--address",    ip(n),       "--mac",    mac,
                                  "--interval",   "600000",    "--expect", test::container_file(),
                                  "--time-limit", kDeviceLimit};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// Waits for a device to end and for the server to end the dialogue with it (the `dialogues`th);
// the device's console.
std::string finish(Bench& bench, Process& dev, size_t dialogues, std::optional<int>& status) {
    status = dev.wait_for(kDeviceMs);
    if (!status) dev.stop();
    EXPECT_TRUE(bench.wait_for_count(Bench::kClosing, dialogues, kSettleMs))
        << "the server did not end the dialogue";
    return dev.output();
}

bool server_runs(Bench& bench) { return !bench.server().wait_for(0).has_value(); }

struct PacedCase {
    const char* name;
    ServerSettings server;
    std::vector<std::string> device;  // beside updated_device's
};

void PrintTo(const PacedCase& c, std::ostream* os) { *os << c.name; }

std::string case_name(const ::testing::TestParamInfo<PacedCase>& info) {
    return info.param.name;
}

// --- 1. the server's link down for 3 s in the middle of the write loop ----------------------

class LinkDown : public ::testing::TestWithParam<PacedCase> {};

// Reply-paced, replies 10 ms late make the update last long enough to lose its link in the
// middle.
INSTANTIATE_TEST_SUITE_P(
    Cases, LinkDown,
    ::testing::Values(PacedCase{"FixedPauses", {2, false, 10, 10}, {}},
                      PacedCase{"ReplyPaced", {2, true, 100, 100}, {"--reply-time", "10"}}),
    case_name);

struct SendFailures {
    size_t lines = 0;           // "ERR: sendto()failed: -1"
    size_t repeated_block = 0;  // ... each followed by the failed attempt at this block
};

// Each failed send is followed by the poll and the failed attempt at the block after the last
// one accepted; all of them at one block.
SendFailures send_failures(const Events& dialogue) {
    SendFailures f;
    int64_t last_block = -1;
    std::optional<int64_t> failing_block;
    for (size_t i = 0; i < dialogue.size(); ++i) {
        const TraceEvent& e = dialogue[i];
        if (e.kind == TraceEvent::block) last_block = e.a;
        if (e.kind != TraceEvent::send_failed) continue;
        ++f.lines;
        EXPECT_EQ(e.a, -1);
        size_t next = i + 1;
        while (next < dialogue.size() && dialogue[next].kind == TraceEvent::rx) ++next;
        EXPECT_TRUE(next < dialogue.size() && dialogue[next].kind == TraceEvent::no_reply &&
                    dialogue[next].name == "CMD_WRITE_UP_FLASH")
            << "a failed send is not a failed attempt";
        if (!failing_block) failing_block = last_block + 1;
        EXPECT_EQ(last_block + 1, *failing_block) << "send failures at more than one block";
    }
    f.repeated_block = static_cast<size_t>(failing_block.value_or(-1));
    return f;
}

TEST_P(LinkDown, EachSendFailsWhileItIsDownAndTheUpdateCompletes) {
    const PacedCase& c = GetParam();
    const Clock::time_point start = Clock::now();
    Bench bench(1, c.server);
    ASSERT_EQ(bench.error(), "");
    std::unique_ptr<Process> dev =
        bench.device("device", updated_device(1, "2.81.68.0.0.1", c.device));
    ASSERT_TRUE(bench.wait_for_count(" NPW:200;", 1, kDeviceMs)) << bench.transcript();
    ASSERT_EQ(bench.net().set_server_link(false), "");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const bool ran_while_down = server_runs(bench);
    ASSERT_EQ(bench.net().set_server_link(true), "");

    std::optional<int> status;
    const std::string out = finish(bench, *dev, 1, status);
    EXPECT_TRUE(ran_while_down) << "the server ended while its link was down";
    EXPECT_TRUE(server_runs(bench)) << "the server ended";
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(DevsimResult(out).text("flash_ok"), "1") << out;

    const std::string text = bench.transcript();
    expect_known_lines(text);
    const Events dialogue = first_dialogue(test::trace_events(text));
    expect_whole_update(dialogue);
    const SendFailures f = send_failures(dialogue);
    EXPECT_GT(f.lines, 0u) << "no send failed while the link was down";
    EXPECT_EQ(f.lines, count(text, "Create TX struct.") - count(text, " TX byte: 288;"))
        << "one line for each command that was not sent";
    EXPECT_EQ(f.lines, count(text, "ERR: sendto()failed: -1\n"));
    figure("link down %s: 3 s at block %zu: %zu sends failed, each one line and one failed "
           "attempt; %zu failed attempts in all, %" PRIu64 " commands reached the device "
           "(488 needed); test %.1f s",
           c.name, f.repeated_block, f.lines, of_kind(dialogue, TraceEvent::no_reply).size(),
           DevsimResult(out).number("commands"), seconds_since(start));
}

// --- 2. announcements whose device address can be no device's -------------------------------

// Its report and analysis are printed, then the line that the address is unusable and the lines
// of an ignored device; nothing is sent, whatever the decision was (AutoJumpApp=1: a device with
// the container's firmware would be sent to its application, any other updated).
struct Rogue {
    std::array<uint8_t, 4> ip;
    bool same_firmware;
};

const std::vector<Rogue>& rogues() {
    static const std::vector<Rogue> list{
        {{0, 0, 0, 0}, false},          // a device without an address yet (the listening qd-devsim)
        {{127, 0, 0, 1}, true},         // loopback: the server itself
        {{224, 0, 0, 1}, false},        // multicast
        {{255, 255, 255, 255}, true},   // everyone
        {{198, 18, 0, 255}, true},      // the broadcast address of the server's subnet
        {{198, 18, 0, 1}, false},       // the server's own address
    };
    return list;
}

std::string dotted(const std::array<uint8_t, 4>& a) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]);
}

constexpr uint32_t kErasedCrc = 0x7EF40B2C;  // CRC-32 of 122880 erased (0xFF) bytes
constexpr uint32_t kOtherCrc = 0x12345678;

uint32_t rogue_crc(size_t n) {
    if (n == 0) return kErasedCrc;
    return rogues()[n].same_firmware ? static_cast<uint32_t>(kContainerCrc) : kOtherCrc;
}

std::array<uint8_t, 6> rogue_mac(size_t n) { return {2, 81, 68, 0, 9, static_cast<uint8_t>(n)}; }

std::string hex(uint32_t v) {
    char s[16];
    std::snprintf(s, sizeof s, "%X", v);
    return s;
}

// What the server prints, at the frame-trace level, for the n-th announcement (frame n).
std::string rogue_text(size_t n) {
    const Rogue& r = rogues()[n];
    const std::array<uint8_t, 6> m = rogue_mac(n);
    const uint32_t crc = rogue_crc(n);
    const std::string frame = std::to_string(n);
    std::string t = "[WAITING]   RX byte:180; BC, CRC calc:[CRC], CRC rec:[CRC] OK! Frame:" + frame +
                    "\n\n" + kSep + "[TIME]\nПринято широковещательное сообщение от обновляемого " +
                    "устройства (dev)\nВерсия структуры: 1 \nВерсия HW: 1 \nВерсия протокола: 1 \n" +
                    "Учетный номер применяемого шифроключа: 0 \nCRC32 бутлоадера: 0h0 \n" +
                    "MAC dev/serNum: ";
    for (size_t i = 0; i < m.size(); ++i) t += (i > 0 ? ":" : "") + std::to_string(m[i]);
    t += "\nIP dev: " + dotted(r.ip) + " \nPort dev: 5008 \n" +
         "CRC32 текущей пользовательской программы UP1: 0h" + hex(crc) + " \n" +
         "Номер принятого пакета: " + frame + " \n" + kSep + "Анализ необходимости обновления:\n" +
         "Имя bin файла для обновления: D718226B.upk; CRC32 текущей программы UP1: " + hex(crc) +
         " \n";
    t += r.same_firmware ? "ПО в файле и существующее ПО совпадают!\nАвтообновление ПО запрещено!\n"
                         : "ПО в файле и существующее ПО НЕ совпадают!\n"
                           "Автообновление ПО для любого сер. номера разрешено!\n";
    return t + kSep + "IP адрес устройства " + dotted(r.ip) +
           " недопустим, обмен с ним невозможен!\nИгнорируем обнаруженное устройство.\n" +
           "Ожидаем что оно перейдет на UP по таймауту.\n" + kSep;
}

// Time stamps, the waiting lines (with the empty polls traced between them) and the CRCs of
// the frames hidden.
std::string masked(std::string text) {
    text = std::regex_replace(text, std::regex(R"(\[\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\])"), "[TIME]");
    text = std::regex_replace(
        text, std::regex(R"(((Ожидание широковещательного сообщения от устройства: \d+ \r)()"
                         R"(   RX byte:-1; )?)+)"),
        "[WAITING]");
    return std::regex_replace(text, std::regex(R"(CRC calc:[0-9A-F]+, CRC rec:[0-9A-F]+)"),
                              "CRC calc:[CRC], CRC rec:[CRC]");
}

// The first line in which two texts differ, for a failure message.
std::string first_difference(const std::string& expected, const std::string& got) {
    size_t at = 0;
    while (at < expected.size() && at < got.size() && expected[at] == got[at]) ++at;
    const size_t line = expected.rfind('\n', at == 0 ? 0 : at - 1);
    const size_t from = line == std::string::npos ? 0 : line + 1;
    return "expected: " + expected.substr(from, expected.find('\n', at) - from) +
           "\ngot:      " + got.substr(from, got.find('\n', at) - from);
}

// Sends the crafted announcements 1..5 from the devices' side, each once the server has
// refused the one before.
::testing::AssertionResult send_rogues(Bench& bench) {
    test::UdpSocket so = bench.net().in_device([] { return test::UdpSocket(); });
    if (!so.bind(ip(2), 0)) return ::testing::AssertionFailure() << "cannot bind " << ip(2);
    for (size_t n = 1; n < rogues().size(); ++n) {
        const test::Bytes frame = test::announcement_frame(
            {rogues()[n].ip, rogue_mac(n), rogue_crc(n), static_cast<uint32_t>(n)});
        if (!so.send_to(TestNetwork::kServerIp, UPDATE_PORT, frame) ||
            !bench.wait_for_count(" недопустим, обмен с ним невозможен!\n", n + 1, kSettleMs)) {
            return ::testing::AssertionFailure() << "announcement " << n << " not refused";
        }
    }
    return ::testing::AssertionSuccess();
}

// The server's lines after its start: for each announcement in turn, the expected text, and
// nothing more but the waiting lines.
void expect_rogue_transcript(const std::string& transcript) {
    const std::string started = "Старт сервера обновлений... \n";
    const size_t at = transcript.find(started);
    ASSERT_NE(at, std::string::npos) << transcript;
    const std::string got = masked(transcript.substr(at + started.size()));
    std::string expected;
    for (size_t n = 0; n < rogues().size(); ++n) expected += rogue_text(n);
    EXPECT_TRUE(got.compare(0, expected.size(), expected) == 0)
        << first_difference(expected, got) << "\nwhole text got:\n" << got;
    EXPECT_TRUE(std::regex_match(got.substr(std::min(expected.size(), got.size())),
                                 std::regex(R"((\[WAITING\])?)")))
        << "more than the announcements' lines: " << got.substr(expected.size());
    for (const TraceEvent& e : test::trace_events(transcript)) {
        if (e.kind != TraceEvent::crc_check) continue;
        EXPECT_EQ(e.b, e.c) << "a frame with a wrong CRC";
    }
}

// A qd-devsim without an address: it announces 0.0.0.0 and listens on port 5008 of every
// address of the devices' side, broadcasts included, until its time limit.
std::unique_ptr<Process> listening_device(Bench& bench) {
    return bench.device("listener", {"--address", "0.0.0.0", "--broadcast",
                                     TestNetwork::kBroadcast, "--mac", "2.81.68.0.9.0",
                                     "--interval", "600000", "--time-limit", "8000"});
}

TEST(RogueAddresses, NeverAnsweredAndARealDeviceIsUpdatedAfterThem) {
    Bench bench(2, ServerSettings{2, false, 5, 5, 1});
    ASSERT_EQ(bench.error(), "");
    std::unique_ptr<Process> listener = listening_device(bench);
    ASSERT_TRUE(bench.wait_for_count(" недопустим, обмен с ним невозможен!\n", 1, kSettleMs))
        << bench.transcript();
    ASSERT_TRUE(send_rogues(bench)) << bench.transcript();
    const std::optional<int> listened = listener->wait_for(kDeviceMs);
    const DevsimResult heard(listener->output());
    EXPECT_EQ(listened, 3) << listener->output();
    ASSERT_TRUE(heard.found()) << listener->output();
    EXPECT_EQ(heard.number("commands"), 0u) << "a command reached the devices' side";
    EXPECT_EQ(heard.number("cmd_other"), 0u);
    EXPECT_GE(heard.number("invalid"), 1u) << "the listener heard not even its own broadcast";
    expect_rogue_transcript(bench.transcript());

    std::unique_ptr<Process> dev = bench.device("device", updated_device(1, "2.81.68.0.0.1"));
    std::optional<int> status;
    const std::string out = finish(bench, *dev, 1, status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(DevsimResult(out).flash_ok()) << out;
    const std::string text = bench.transcript();
    expect_known_lines(text);
    EXPECT_EQ(count(text, "Create soc tx. IP: "), 1u) << "a dialogue opened for a rogue address";
    EXPECT_EQ(count(text, "Create soc tx. IP: " + ip(1) + ", Port: 5008\n"), 1u);
    figure("rogue addresses: %zu announcements (0.0.0.0, 127.0.0.1, 224.0.0.1, "
           "255.255.255.255, 198.18.0.255, 198.18.0.1) refused, nothing sent (the listener on "
           "the devices' side heard %" PRIu64 " datagrams, no command); the device announcing "
           "after them updated",
           rogues().size(), heard.number("invalid"));
}

// --- 3. a device slower than the pause ------------------------------------------------------

// Its reply comes 15 ms after a command, after the pause of 10 ms: the poll misses it and the
// command is sent again; the late reply is read at the next attempt's poll and accepted, since
// nothing is dropped after a failed attempt. The update completes with every block written.
class SlowDevice : public ::testing::TestWithParam<PacedCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, SlowDevice,
    ::testing::Values(PacedCase{"FixedPauses", {2, false, 10, 10}, {"--reply-time", "15"}},
                      PacedCase{"ReplyPaced", {2, true, 10, 10}, {"--reply-time", "15"}}),
    case_name);

TEST_P(SlowDevice, StillUpdated) {
    const PacedCase& c = GetParam();
    const Clock::time_point start = Clock::now();
    Bench bench(1, c.server);
    ASSERT_EQ(bench.error(), "");
    std::unique_ptr<Process> dev =
        bench.device("device", updated_device(1, "2.81.68.0.0.1", c.device));
    std::optional<int> status;
    const std::string out = finish(bench, *dev, 1, status);
    const DevsimResult r(out);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(r.jumped() && r.flash_ok()) << out;
    EXPECT_GE(r.number("cmd_write_up_flash"), 480u);
    EXPECT_EQ(r.number("blocks"), r.number("cmd_write_up_flash")) << "a block refused";

    const std::string text = bench.transcript();
    expect_known_lines(text);
    const Events dialogue = first_dialogue(test::trace_events(text));
    expect_whole_update(dialogue);
    const size_t failed = of_kind(dialogue, TraceEvent::no_reply).size();
    EXPECT_GT(failed, 0u) << "no reply came after the pause";
    EXPECT_TRUE(of_kind(dialogue, TraceEvent::stalled).empty());
    EXPECT_TRUE(of_kind(dialogue, TraceEvent::jump_unconfirmed).empty());
    figure("slow device %s: replies 15 ms after the command, pauses of 10 ms: %zu failed "
           "attempts, %" PRIu64 " commands (488 needed), %" PRIu64 " jump commands; test %.1f s",
           c.name, failed, r.number("commands"), r.number("cmd_jump_to_app"),
           seconds_since(start));
}

// --- 4. boards one after the other at one address, with random faults (a soak) --------------

// Each board is a new qd-devsim at 198.18.0.2 with serial number and seed of its own, started
// 2 s after the server has ended the dialogue with the board before (which then is unplugged,
// when it still runs). Whatever the faults do, no board may end in its application with a
// flash other than the image, or without its update; nearly all are updated.
constexpr int kDefaultBoards = 5;
constexpr int kBoardGapMs = 2000;
constexpr int kBoardBoundSeconds = 30;  // far more than a board takes, for the network's life
constexpr int kUnplugMs = 1000;  // how long a board that jumped may take to end
const std::string kBoardLimit = "60000";
const std::string kShare = "0.03";

int soak_boards() {
    const char* value = std::getenv("QD_SOAK_BOARDS");
    const int n = value != nullptr ? std::atoi(value) : 0;
    return n > 0 ? n : kDefaultBoards;
}

// What moves the boards' reply numbers (qd-devsim --reply-counter): QD_SOAK_COUNTER, replies
// when it is not set.
std::string soak_counter() {
    const char* value = std::getenv("QD_SOAK_COUNTER");
    return value != nullptr && *value != '\0' ? value : "replies";
}

class BoardsInARow : public ::testing::TestWithParam<PacedCase> {};

// Reply-paced, a wait of 20 ms for a reply that was lost keeps the boards' updates short.
INSTANTIATE_TEST_SUITE_P(Cases, BoardsInARow,
                         ::testing::Values(PacedCase{"FixedPauses", {1, false, 5, 5}, {}},
                                           PacedCase{"ReplyPaced", {1, true, 20, 20}, {}}),
                         case_name);

enum class BoardEnd { updated, verify_failed, given_up, jump_unconfirmed, other };

const char* end_name(BoardEnd e) {
    switch (e) {
        case BoardEnd::updated:
            return "updated";
        case BoardEnd::verify_failed:
            return "verify-failed";
        case BoardEnd::given_up:
            return "given up";
        case BoardEnd::jump_unconfirmed:
            return "jump unconfirmed";
        case BoardEnd::other:
            break;
    }
    return "other";
}

struct Board {
    BoardEnd end = BoardEnd::other;
    bool jumped = false;     // the board went to its application
    size_t passes = 0;       // write passes (flash CRCs read back)
    uint64_t commands = 0;   // commands the board received, when it ended by itself
    size_t failed = 0;       // failed attempts in the dialogue
    bool dialogue_ended = false;
};

std::vector<std::string> board_args(int n) {
    const std::string mac = "2.81.68.1." + std::to_string(n / 256) + "." + std::to_string(n % 256);
    return {"--address", ip(1),   "--mac",          mac,    "--interval", "600000",
            "--expect",  test::container_file(),     "--time-limit",     kBoardLimit,
            "--loss",    kShare,  "--damage",       kShare, "--refuse-share", kShare,
            "--duplicate-share",  kShare,           "--seed", std::to_string(1000 + n),
            "--reply-counter",    soak_counter()};
}

// The server's side of one dialogue (its transcript, verbose level): how it ended; each flash
// CRC read back that differs from the image's is followed by a new write pass or by the end.
BoardEnd server_end(const std::string& dialogue_text, Board& b) {
    const Events events = test::trace_events(dialogue_text);
    const std::vector<int64_t> crcs = of_kind(events, TraceEvent::flash_crc);
    b.passes = crcs.size();
    b.failed = of_kind(events, TraceEvent::no_reply).size();
    size_t mismatches = 0;
    for (const int64_t crc : crcs) mismatches += crc != kContainerCrc ? 1 : 0;
    const size_t rewrites = of_kind(events, TraceEvent::rewrite).size();
    const bool verify_failed = !of_kind(events, TraceEvent::verify_failed).empty();
    EXPECT_EQ(mismatches, rewrites + (verify_failed ? 1 : 0)) << "a new pass not shown";
    if (verify_failed) return BoardEnd::verify_failed;
    if (!of_kind(events, TraceEvent::stalled).empty()) return BoardEnd::given_up;
    if (!of_kind(events, TraceEvent::jump_unconfirmed).empty()) return BoardEnd::jump_unconfirmed;
    const std::regex accepted_jump(R"(CMD_JUMP_TO_APP\{7\} Time:\d+ ms\n)");
    return std::regex_search(dialogue_text, accepted_jump) ? BoardEnd::updated : BoardEnd::other;
}

// The board's side: a board in its application has the image and had the writes.
void check_board(const std::string& console, const std::string& dialogue_text, Board& b) {
    const DevsimResult r(console);
    b.jumped = r.found() ? r.jumped() : false;
    b.commands = r.number("commands");
    if (!r.found()) {
        EXPECT_EQ(console.find("Ответ на CMD_JUMP_TO_APP отправлен"), std::string::npos)
            << "a board that jumped did not end by itself";
        return;
    }
    if (!b.jumped) return;
    EXPECT_TRUE(r.flash_ok()) << "a board in its application with another flash:\n" << console;
    EXPECT_GE(r.number("cmd_write_up_flash"), 480u) << "in its application without its update";
    const Events events = test::trace_events(dialogue_text);
    EXPECT_EQ(of_kind(events, TraceEvent::block), every_block(b.passes))
        << "in its application without the writes";
    EXPECT_GE(b.passes, 1u);
}

Board serve_board(Bench& bench, int n, size_t& offset) {
    Board b;
    std::unique_ptr<Process> dev = bench.device("board" + std::to_string(n), board_args(n));
    b.dialogue_ended = bench.wait_for_count(Bench::kClosing, static_cast<size_t>(n), kSettleMs);
    EXPECT_TRUE(b.dialogue_ended) << "board " << n << ": the server did not end the dialogue";
    if (!dev->wait_for(kUnplugMs)) dev->stop();  // left in its bootloader: unplugged
    const std::string dialogue_text = bench.transcript_since(offset);
    b.end = server_end(dialogue_text, b);
    check_board(dev->output(), dialogue_text, b);
    if (b.end == BoardEnd::updated) {
        EXPECT_TRUE(b.jumped) << "board " << n << ": the server took a jump the board did not";
    }
    return b;
}

struct SoakTally {
    std::array<size_t, 5> ends{};
    size_t rewrites = 0;  // write passes beyond the first
    size_t failed = 0;
    size_t jumped_unconfirmed = 0;  // in its application, its jump unconfirmed to the server
};

TEST_P(BoardsInARow, NoBoardInItsApplicationWithoutTheImageAndNearlyAllUpdated) {
    const PacedCase& c = GetParam();
    const int boards = soak_boards();
    const Clock::time_point start = Clock::now();
    // The test network's namespaces end by themselves after QD_TESTNET_TTL seconds (a test that
    // dies leaves nothing behind for long): a long soak needs them longer.
    const int ttl = 900 + boards * kBoardBoundSeconds;
    ::setenv("QD_TESTNET_TTL", std::to_string(ttl).c_str(), 1);
    Bench bench(1, c.server);
    ASSERT_EQ(bench.error(), "");
    const long kib_before = test::resident_kib(bench.server().pid()).value_or(0);
    size_t offset = bench.transcript().size();
    SoakTally t;
    for (int n = 1; n <= boards && server_runs(bench); ++n) {
        const Board b = serve_board(bench, n, offset);
        ++t.ends[static_cast<size_t>(b.end)];
        t.rewrites += b.passes > 1 ? b.passes - 1 : 0;
        t.failed += b.failed;
        if (b.jumped && b.end == BoardEnd::jump_unconfirmed) ++t.jumped_unconfirmed;
        std::printf("[board] %s %d seed %d: %s, %zu write passes, %" PRIu64
                    " commands, %zu failed attempts\n",
                    c.name, n, 1000 + n, end_name(b.end), b.passes, b.commands, b.failed);
        std::fflush(stdout);
        if (!b.dialogue_ended) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(kBoardGapMs));
    }
    EXPECT_TRUE(server_runs(bench)) << "the server ended";
    const size_t updated = t.ends[static_cast<size_t>(BoardEnd::updated)];
    // Boards that number their replies are nearly all updated; from the others a late copy of a
    // reply can stand in for a refused block, and three passes can all lose one.
    if (soak_counter() == "replies") {
        EXPECT_GE(updated * 10, static_cast<size_t>(boards) * 9) << "fewer than 90 % updated";
    }
    figure("boards in a row %s, reply counter %s: %d boards, updated %zu, verify-failed %zu, given up %zu, jump "
           "unconfirmed %zu (of them in their application %zu), other %zu; write passes beyond "
           "the first %zu; failed attempts %zu; server VmRSS %ld -> %ld KiB; %.1f s",
           c.name, soak_counter().c_str(), boards, updated, t.ends[1], t.ends[2], t.ends[3], t.jumped_unconfirmed,
           t.ends[4], t.rewrites, t.failed, kib_before,
           test::resident_kib(bench.server().pid()).value_or(0), seconds_since(start));
}

}  // namespace
}  // namespace qd
