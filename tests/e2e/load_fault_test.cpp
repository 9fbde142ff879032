// Load and faults on the test network: qd-server in its namespace at 198.18.0.1 and qd-devsim
// devices in theirs at 198.18.0.2 and up, on real UDP.
//
//   Load:       100 devices updated one after the other; the server's resident memory stays.
//   Flood:      junk at about 1000 datagrams a second in the middle of an update.
//   Announcers: three other devices announcing themselves during an update.
//   Silence:    a device that stops answering for seconds in the middle of the write loop.
//   Faults:     replies lost, damaged, refused and duplicated at random with a fixed seed; the
//               flash check keeps a device whose flash differs from its application.
//
// Every case checks outcomes (the device's flash, the server's console, its memory), never
// durations: the machine may hold a process up now and then. Each prints its figures as lines
// starting with "[figure]" (see docs/robustness.md).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frames.hpp"
#include "support/bench.hpp"
#include "support/figure.hpp"
#include "support/junk.hpp"
#include "support/proc_stats.hpp"
#include "support/trace.hpp"
#include "support/udp.hpp"

namespace qd {
namespace {

using test::Bench;
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
constexpr long kGrowthKib = 64;    // the most the server's resident memory may change
constexpr int kDeviceMs = 120000;  // the longest wait for a device to end (its own limit is lower)
constexpr int kSettleMs = 120000;  // for the server to end a dialogue after its device has ended
const std::string kDeviceLimit = "100000";
const std::string kContainerCrcLine = "FLASH UP1 CRC32: 0hD718226B \n";

// --- small helpers -------------------------------------------------------------------------

std::string ip(int n) { return TestNetwork::device_ip(n); }

// Distinct serial numbers: 2.81.68.0.HI.LO for device n.
std::string mac_arg(int n) {
    return "2.81.68.0." + std::to_string(n / 256) + "." + std::to_string(n % 256);
}
std::string mac_shown(int n) {
    return "2:81:68:0:" + std::to_string(n / 256) + ":" + std::to_string(n % 256);
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The number a device's summary gives after `label`.
uint64_t summary_number(const std::string& out, const std::string& label) {
    const size_t at = out.find(label);
    return at == std::string::npos ? 0 : std::stoull(out.substr(at + label.size()));
}

// All commands a device's summary counts, of every code.
uint64_t commands_received(const std::string& out) {
    uint64_t n = 0;
    for (const char* name :
         {"CMD_NOP", "CMD_ACTIVATE_BL", "CMD_GET_CONFIG", "CMD_UNBLOCK_FLASH", "CMD_ERASE_UP_FLASH",
          "CMD_SET_PASS_BIN", "CMD_WRITE_UP_FLASH", "CMD_GETCRC_FLASH", "CMD_JUMP_TO_APP"}) {
        n += summary_number(out, std::string("  ") + name);
    }
    return n;
}

bool flash_equal(const std::string& device_output) {
    return device_output.find("FLASH UP1 и " + test::container_file() + ": совпадают\n") !=
           std::string::npos;
}

long resident(Bench& bench) {
    const std::optional<long> kib = test::resident_kib(bench.server().pid());
    EXPECT_TRUE(kib.has_value()) << "the server is gone";
    return kib.value_or(0);
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

std::vector<int64_t> of_kind(const Events& events, TraceEvent::Kind kind) {
    std::vector<int64_t> values;
    for (const TraceEvent& e : events) {
        if (e.kind == kind) values.push_back(e.a);
    }
    return values;
}

// 0, 1, ... 479.
std::vector<int64_t> every_block() {
    std::vector<int64_t> blocks(kBlocks);
    for (int n = 0; n < kBlocks; ++n) blocks[static_cast<size_t>(n)] = n;
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

// A device that announces itself once and must end with the container in its flash.
std::vector<std::string> updated_device(int n, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--address",    ip(n),       "--mac",    mac_arg(n),
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

// --- 1. load: 100 devices one after the other ----------------------------------------------

// Reply-paced (ReplyPaced=1): a pause ends as soon as the reply is in, so that an update takes
// well under a second; DelayFrames and DelayWrite of 100 ms only bound the wait for a reply.
// How long the hundred take is a figure, not a check: a busy machine may take longer. Each
// device's waits are bounded (finish), and the test's time limit bounds the whole.
constexpr int kLoadDevices = 100;

TEST(Load, HundredDevicesOneAfterTheOtherAndTheServerDoesNotGrow) {
    const Clock::time_point start = Clock::now();
    Bench bench(kLoadDevices, ServerSettings{1, true, 100, 100});
    ASSERT_EQ(bench.error(), "");
    long first_kib = 0;
    long last_kib = 0;
    long most_kib = 0;
    for (int n = 1; n <= kLoadDevices; ++n) {
        std::unique_ptr<Process> dev =
            bench.device("device" + std::to_string(n), updated_device(n));
        std::optional<int> status;
        const std::string out = finish(bench, *dev, static_cast<size_t>(n), status);
        ASSERT_EQ(status, 0) << out;
        ASSERT_TRUE(flash_equal(out)) << out;
        last_kib = resident(bench);
        if (n == 1) first_kib = last_kib;
        most_kib = std::max(most_kib, last_kib);
    }
    const std::string text = bench.transcript();
    EXPECT_EQ(count(text, kContainerCrcLine), static_cast<size_t>(kLoadDevices));
    EXPECT_EQ(count(text, "Принято широковещательное сообщение"),
              static_cast<size_t>(kLoadDevices));
    for (int n = 1; n <= kLoadDevices; ++n) {
        EXPECT_EQ(count(text, "IP dev: " + ip(n) + " \n"), 1u) << ip(n);
        EXPECT_EQ(count(text, "MAC dev/serNum: " + mac_shown(n) + "\n"), 1u) << mac_shown(n);
    }
    if (!test::kAddressSanitized) {
        EXPECT_LE(std::labs(last_kib - first_kib), kGrowthKib)
            << "resident memory after the first update " << first_kib << " KiB, after the last "
            << last_kib << " KiB";
    }
    figure(
        "load: %d devices updated in %.1f s; server VmRSS after the first %ld KiB, after the "
        "last %ld KiB, most %ld KiB",
        kLoadDevices, seconds_since(start), first_kib, last_kib, most_kib);
}

// --- 2. junk flooding the update port in the middle of an update ----------------------------

constexpr uint32_t kFloodSeed = 20250;
constexpr int kFloodDatagrams = 3000;  // at about 1000 a second: 10 every 10 ms
constexpr int kFloodBurst = 10;
constexpr double kFloodBoundSeconds = 20;
constexpr int64_t kLongestRead = 512;  // longer datagrams are dropped unread (RX byte:-1)

struct FloodCase {
    const char* name;
    ServerSettings server;
    std::vector<std::string> device;  // beside updated_device's
    bool goes_on;                     // the update advances while the flood lasts
};

void PrintTo(const FloodCase& c, std::ostream* os) { *os << c.name; }

struct FloodSent {
    test::JunkTally tally;
    uint64_t failed = 0;
    double seconds = 0;
};

// Sends the datagrams that next(n) makes, from the devices' side at 198.18.0.3 to the server's
// port, at about 1000 a second.
template <typename Next>
FloodSent send_flood(const TestNetwork& net, Next&& next) {
    test::UdpSocket so = net.in_device([] { return test::UdpSocket(); });
    FloodSent sent;
    if (!so.bind(ip(2), 0)) {
        sent.failed = kFloodDatagrams;
        return sent;
    }
    const Clock::time_point start = Clock::now();
    Clock::time_point at = start;
    for (int n = 0; n < kFloodDatagrams && seconds_since(start) < kFloodBoundSeconds; ++n) {
        if (n % kFloodBurst == 0) {
            std::this_thread::sleep_until(at);
            at += std::chrono::milliseconds(10);
        }
        if (!so.send_to(TestNetwork::kServerIp, UPDATE_PORT, next(n))) ++sent.failed;
    }
    sent.seconds = seconds_since(start);
    return sent;
}

FloodSent flood(const TestNetwork& net) {
    test::JunkMaker junk(kFloodSeed);
    FloodSent sent = send_flood(net, [&junk](int) { return junk.next().bytes; });
    sent.tally = junk.tally();
    return sent;
}

class Flood : public ::testing::TestWithParam<FloodCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, Flood,
    ::testing::Values(
        // One datagram read per poll: the flood stalls the update while it lasts.
        FloodCase{"FixedPauses", ServerSettings{2, false, 5, 5}, {}, false},
        // The wait for a reply reads on through the junk; replies 10 ms late make the update
        // last long enough to be flooded in its middle.
        FloodCase{"ReplyPaced", ServerSettings{2, true, 100, 100}, {"--reply-time", "10"}, true}),
    [](const auto& c) { return std::string(c.param.name); });

// What the server traced of the flood: the CRC errors, and the reads of each length up to the
// longest it reads.
struct FloodTraces {
    uint64_t errors = 0;
    std::vector<uint64_t> read_by_length = std::vector<uint64_t>(kLongestRead + 1);
};

FloodTraces flood_traces(const Events& all) {
    FloodTraces t;
    for (const TraceEvent& e : all) {
        if (e.kind == TraceEvent::rx && e.a >= 0 && e.a <= kLongestRead) {
            ++t.read_by_length[static_cast<size_t>(e.a)];
        }
        if (e.kind == TraceEvent::crc_error) ++t.errors;
    }
    return t;
}

// The frames' lengths: devices send them too, so their reads are not the flood's alone.
bool frame_length(int64_t len) { return len == 180 || len == 300; }

// Whether every datagram of the flood has its trace.
bool whole_flood_traced(const FloodTraces& t, const FloodSent& sent) {
    if (t.errors != sent.tally.bad_crc) return false;
    for (int64_t len = 0; len <= kLongestRead; ++len) {
        const size_t at = static_cast<size_t>(len);
        if (!frame_length(len) && t.read_by_length[at] != sent.tally.random_by_length[at]) {
            return false;
        }
    }
    return true;
}

// What the server read of the flood: every line of a known form; each "ERROR! " from a frame
// with a wrong CRC; no frame with a wrong version or magic number taken; and, when the system
// dropped nothing, one trace for each datagram.
void expect_flood_traced(const Events& all, const FloodSent& sent, bool none_dropped) {
    for (size_t i = 0; i < all.size(); ++i) {
        const TraceEvent& e = all[i];
        if (e.kind == TraceEvent::crc_error) {
            ASSERT_GT(i, 0u);
            const TraceEvent& check = all[i - 1];
            ASSERT_EQ(check.kind, TraceEvent::crc_check);
            EXPECT_EQ(static_cast<uint32_t>(check.b ^ check.c), test::kCrcFlip)
                << "a CRC error not from the flood";
        }
        if (e.kind == TraceEvent::broadcast_ok || e.kind == TraceEvent::reply) {
            EXPECT_LT(e.a, test::kFirstJunkFrame) << "a frame with a wrong header was taken";
        }
    }
    const FloodTraces t = flood_traces(all);
    EXPECT_GT(t.errors, 0u);
    EXPECT_LE(t.errors, sent.tally.bad_crc);
    if (none_dropped) {
        EXPECT_EQ(t.errors, sent.tally.bad_crc);
    }
    for (int64_t len = 0; len <= kLongestRead; ++len) {
        if (frame_length(len)) continue;
        const uint64_t made = sent.tally.random_by_length[static_cast<size_t>(len)];
        const uint64_t read = t.read_by_length[static_cast<size_t>(len)];
        EXPECT_LE(read, made) << "length " << len;
        if (none_dropped) {
            EXPECT_EQ(read, made) << "length " << len;
        }
    }
}

// After the dialogue the server reads one datagram a pass (a tenth of a second each), so what the
// flood left in its queue is read, and traced, only then. The kernel's figure of the socket's
// queue cannot tell when that is over: it leaves out what a read has already taken from the
// queue in one batch. Waits until every datagram of the flood has its trace, or until no
// datagram has been read for kIdleMs (then some are missing), at most kSettleMs.
constexpr int kIdleMs = 5000;

bool read_whole_flood(Bench& bench, const FloodSent& sent) {
    size_t reads = 0;
    Clock::time_point last_read = Clock::now();
    for (const Clock::time_point start = Clock::now(); seconds_since(start) * 1000 < kSettleMs;
         std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
        const Events all = test::trace_events(bench.transcript());
        if (whole_flood_traced(flood_traces(all), sent)) return true;
        const size_t now_reads = static_cast<size_t>(std::count_if(
            all.begin(), all.end(),
            [](const TraceEvent& e) { return e.kind == TraceEvent::rx && e.a >= 0; }));
        if (now_reads != reads) {
            reads = now_reads;
            last_read = Clock::now();
        } else if (seconds_since(last_read) * 1000 > kIdleMs) {
            return false;
        }
    }
    return false;
}

TEST_P(Flood, ServerNeitherFallsNorGrowsAndTheUpdateCompletes) {
    const FloodCase& c = GetParam();
    const Clock::time_point start = Clock::now();
    Bench bench(2, c.server);
    ASSERT_EQ(bench.error(), "");
    std::unique_ptr<Process> dev = bench.device("device", updated_device(1, c.device));
    ASSERT_TRUE(bench.wait_for_count(" NPW:100;", 1, kDeviceMs)) << bench.transcript();
    const long kib_before = resident(bench);
    const std::optional<test::UdpCounters> udp_before = test::udp_counters(bench.server().pid());
    ASSERT_TRUE(udp_before.has_value());
    const size_t blocks_before = count(bench.transcript(), " NPW:");

    const FloodSent sent = flood(bench.net());
    const size_t blocks_after = count(bench.transcript(), " NPW:");
    EXPECT_EQ(sent.failed, 0u);
    EXPECT_FALSE(bench.server().wait_for(0).has_value()) << "the server ended in the flood";

    std::optional<int> status;
    const std::string out = finish(bench, *dev, 1, status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(flash_equal(out)) << out;
    EXPECT_FALSE(bench.server().wait_for(0).has_value()) << "the server ended";
    const long kib_after = resident(bench);
    const std::optional<test::UdpCounters> udp_after = test::udp_counters(bench.server().pid());
    ASSERT_TRUE(udp_after.has_value());
    if (!test::kAddressSanitized) {  // its quarantine keeps freed blocks: a figure there
        EXPECT_LE(std::labs(kib_after - kib_before), kGrowthKib);
    }
    if (c.goes_on) {
        EXPECT_GT(blocks_after, blocks_before) << "the update stood still";
    }

    const uint64_t dropped = udp_after->rcvbuf_errors - udp_before->rcvbuf_errors;
    if (dropped == 0) {
        // Each datagram must then be traced: the last of them may still be queued.
        EXPECT_TRUE(read_whole_flood(bench, sent)) << "the server did not read what the flood left";
    }
    const std::string text = bench.transcript();
    expect_known_lines(text);
    const Events all = test::trace_events(text);
    expect_flood_traced(all, sent, dropped == 0);
    const Events dialogue = first_dialogue(all);
    expect_whole_update(dialogue);
    EXPECT_EQ(of_kind(all, TraceEvent::broadcast_ok).size(), 1u) << "only the device's";
    figure("flood %s: %" PRIu64 " datagrams (%" PRIu64 " with a wrong CRC, %" PRIu64
           " with a wrong header) in %.1f s; dropped by the full receive queue %" PRIu64
           "; blocks accepted during the flood %zu; failed attempts %zu; %" PRIu64
           " commands sent (488 needed); VmRSS %ld -> %ld KiB; test %.1f s",
           c.name, sent.tally.total, sent.tally.bad_crc, sent.tally.wrong_header, sent.seconds,
           dropped, blocks_after - blocks_before, of_kind(dialogue, TraceEvent::no_reply).size(),
           commands_received(out), kib_before, kib_after, seconds_since(start));
}

// Reply-paced, the update goes on while junk and another device's valid announcements arrive
// together at about 1000 a second: each announcement is read during a wait, shown, and dropped.
TEST(FloodWithNeighbours, ReplyPacedUpdateGoesOnThroughJunkAndAnnouncements) {
    Bench bench(2, ServerSettings{2, true, 100, 100});
    ASSERT_EQ(bench.error(), "");
    std::unique_ptr<Process> dev = bench.device("device", updated_device(1, {"--reply-time", "10"}));
    ASSERT_TRUE(bench.wait_for_count(" NPW:100;", 1, kDeviceMs)) << bench.transcript();
    const size_t blocks_before = count(bench.transcript(), " NPW:");

    test::JunkMaker junk(kFloodSeed);
    uint64_t neighbours = 0;
    const FloodSent sent = send_flood(bench.net(), [&](int n) {
        if (n % 2 != 0) return junk.next().bytes;
        ++neighbours;
        return junk.neighbour();
    });
    EXPECT_EQ(sent.failed, 0u);
    const size_t blocks_after = count(bench.transcript(), " NPW:");

    std::optional<int> status;
    const std::string out = finish(bench, *dev, 1, status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(flash_equal(out)) << out;
    EXPECT_GT(blocks_after, blocks_before) << "the update stood still";
    const Events all = test::trace_events(bench.transcript());
    expect_whole_update(first_dialogue(all));
    size_t neighbour_reads = 0;
    for (const int64_t frame : of_kind(all, TraceEvent::broadcast_ok)) {
        if (frame >= test::kFirstNeighbourFrame) ++neighbour_reads;
    }
    EXPECT_GT(neighbour_reads, 0u);
    EXPECT_LE(neighbour_reads, neighbours);
    figure("flood with announcements, reply-paced: %" PRIu64 " announcements of another device "
           "among %d datagrams in %.1f s; %zu read and dropped; blocks accepted meanwhile %zu",
           neighbours, kFloodDatagrams, sent.seconds, neighbour_reads,
           blocks_after - blocks_before);
}

// --- 3. other devices announcing themselves during an update --------------------------------

struct AnnouncerCase {
    const char* name;
    ServerSettings server;
    std::vector<std::string> device;
    TraceEvent::Kind awaited;  // what follows a broadcast read while a reply is awaited
};

void PrintTo(const AnnouncerCase& c, std::ostream* os) { *os << c.name; }

class Announcers : public ::testing::TestWithParam<AnnouncerCase> {};

// A broadcast read after the reply to a command has been accepted, and before the next command,
// is dropped (what waits then is stale): the next read or the next command follows, never a
// failed attempt. One read while the reply is still awaited depends on the mode.
INSTANTIATE_TEST_SUITE_P(
    Cases, Announcers,
    ::testing::Values(
        // The one poll after the pause reads the broadcast in place of the reply: a failed
        // attempt. Replies 3 ms late leave a broadcast time to come before the reply.
        AnnouncerCase{"FixedPauses",
                      ServerSettings{2, false, 5, 5},
                      {"--reply-time", "3"},
                      TraceEvent::no_reply},
        // The wait for the reply reads on.
        AnnouncerCase{"ReplyPaced",
                      ServerSettings{2, true, 100, 100},
                      {"--reply-time", "10"},
                      TraceEvent::rx}),
    [](const auto& c) { return std::string(c.param.name); });

// Three devices that already run the container's firmware, announcing once a second: the server
// refuses and ignores them once the update is over.
std::vector<std::unique_ptr<Process>> announcers(Bench& bench) {
    std::vector<std::unique_ptr<Process>> devs;
    for (int n = 2; n <= 4; ++n) {
        devs.push_back(
            bench.device("announcer" + std::to_string(n),
                         {"--address", ip(n), "--mac", mac_arg(n), "--interval", "1000", "--flash",
                          test::container_file(), "--time-limit", kDeviceLimit}));
    }
    return devs;
}

struct BroadcastReads {
    size_t awaited = 0;  // read while the reply to the last command was awaited
    size_t dropped = 0;  // read after it had come, before the next command
};

// Checks what follows each broadcast read in the dialogue.
BroadcastReads broadcast_reads(const Events& dialogue, TraceEvent::Kind awaited) {
    BroadcastReads reads;
    bool replied = false;  // a reply has been read since the last command
    for (size_t i = 0; i + 1 < dialogue.size(); ++i) {
        const TraceEvent& e = dialogue[i];
        if (e.kind == TraceEvent::tx) replied = false;
        if (e.kind == TraceEvent::reply) replied = true;
        if (e.kind != TraceEvent::broadcast_ok) continue;
        const TraceEvent::Kind next = dialogue[i + 1].kind;
        if (replied) {
            ++reads.dropped;
            EXPECT_TRUE(next == TraceEvent::rx || next == TraceEvent::tx)
                << "a stale broadcast not dropped: event " << next << " after it";
        } else {
            ++reads.awaited;
            EXPECT_EQ(next, awaited) << "after a broadcast read in place of a reply";
        }
    }
    return reads;
}

TEST_P(Announcers, UpdateCompletesAndEachBroadcastIsOneAttemptOrDropped) {
    const AnnouncerCase& c = GetParam();
    const Clock::time_point start = Clock::now();
    Bench bench(4, c.server);
    ASSERT_EQ(bench.error(), "");
    std::unique_ptr<Process> dev = bench.device("device", updated_device(1, c.device));
    ASSERT_TRUE(bench.wait_for_count("Create soc tx. IP: ", 1, kDeviceMs));
    const std::vector<std::unique_ptr<Process>> others = announcers(bench);
    std::optional<int> status;
    const std::string out = finish(bench, *dev, 1, status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_TRUE(flash_equal(out)) << out;

    const std::string text = bench.transcript();
    expect_known_lines(text);
    const Events dialogue = first_dialogue(test::trace_events(text));
    expect_whole_update(dialogue);
    const BroadcastReads reads = broadcast_reads(dialogue, c.awaited);
    EXPECT_GT(reads.awaited, 0u) << "no broadcast came while a reply was awaited";
    EXPECT_EQ(count(text, "Create soc tx. IP: "), 1u) << "the announcers are not to be updated";
    figure("announcers %s: %zu broadcasts read during the update (%zu while a reply was "
           "awaited, %zu dropped after an accepted reply), %zu failed attempts, %" PRIu64
           " commands sent (488 needed); test %.1f s",
           c.name, reads.awaited + reads.dropped, reads.awaited, reads.dropped,
           of_kind(dialogue, TraceEvent::no_reply).size(), commands_received(out),
           seconds_since(start));
}

// --- a run repeated while the machine held it up ---------------------------------------------

// A reply that came after the server's pause because the machine held a process up makes the
// server repeat the command, and the device answers more commands than the dialogue needs
// beside those it failed on purpose. Such a run is repeated, at most kAttempts times in all.
constexpr int kAttempts = 3;

bool held_up(const std::string& device_output, uint64_t failed_on_purpose) {
    return summary_number(device_output, "Ответов отправлено: ") > 488 + failed_on_purpose;
}

// --- 4. a device silent for seconds in the middle of the write loop ------------------------

// Command 200 is block 193 (blocks start with command 7): from it on the device drops whatever
// comes for 3 s, and then answers again.
const std::string kSilence = "200:3000";
constexpr int64_t kSilentBlock = 193;

struct SilenceCase {
    const char* name;
    ServerSettings server;
};

void PrintTo(const SilenceCase& c, std::ostream* os) { *os << c.name; }

class Silence : public ::testing::TestWithParam<SilenceCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, Silence,
    ::testing::Values(SilenceCase{"FixedPauses", ServerSettings{2, false, 10, 10}},
                      SilenceCase{"ReplyPaced", ServerSettings{2, true, 100, 100}}),
    [](const auto& c) { return std::string(c.param.name); });

struct SilentRun {
    std::optional<int> status;
    std::string device;
    std::string transcript;
    double seconds = 0;
};

SilentRun silent_run(const ServerSettings& server) {
    SilentRun run;
    const Clock::time_point start = Clock::now();
    Bench bench(1, server);
    if (!bench.error().empty()) {
        run.device = bench.error();
        return run;
    }
    std::unique_ptr<Process> dev =
        bench.device("device", updated_device(1, {"--silent", kSilence}));
    run.device = finish(bench, *dev, 1, run.status);
    run.transcript = bench.transcript();
    run.seconds = seconds_since(start);
    return run;
}

// Every command in the silence is one failed attempt at the same block, and the block is
// accepted once the device answers again.
TEST_P(Silence, ServerRepeatsTheBlockUntilTheDeviceAnswersAgain) {
    SilentRun run;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        run = silent_run(GetParam().server);
        if (!held_up(run.device, 0)) break;
        std::printf("attempt %d held up by the machine: a reply came late\n", attempt);
    }
    EXPECT_EQ(run.status, 0) << run.device;
    EXPECT_TRUE(flash_equal(run.device)) << run.device;
    const uint64_t dropped = summary_number(run.device, "Отброшено датаграмм в молчании: ");
    EXPECT_GT(dropped, 0u) << run.device;
    EXPECT_EQ(summary_number(run.device, "  CMD_WRITE_UP_FLASH"), 480u) << "dropped ones count not";

    expect_known_lines(run.transcript);
    const Events dialogue = first_dialogue(test::trace_events(run.transcript));
    expect_whole_update(dialogue);
    int64_t last_block = -1;
    uint64_t repeats = 0;
    for (const TraceEvent& e : dialogue) {
        if (e.kind == TraceEvent::block) last_block = e.a;
        if (e.kind != TraceEvent::no_reply) continue;
        ++repeats;
        EXPECT_EQ(e.name, "CMD_WRITE_UP_FLASH");
        EXPECT_EQ(last_block, kSilentBlock - 1) << "a failed attempt not at the silent block";
    }
    EXPECT_EQ(repeats, dropped) << "one failed attempt for each command dropped";
    EXPECT_EQ(count(run.transcript, "Error Net_Handler CMD_WRITE_UP_FLASH\n"), dropped);
    figure("silence %s: 3 s from command 200 (block 193): %" PRIu64
           " attempts dropped and repeated, update completed; test %.1f s",
           GetParam().name, dropped, run.seconds);
}

// --- 5. replies lost, damaged, refused and duplicated at random ------------------------------

// What the protocol cannot tell. A reply names the command code and the result, and carries
// the device's own frame number; it echoes neither the command's frame number nor the block's
// address. The server matches a reply to the command just sent by code and result alone, so a
// stale reply of the same code (a late one, or the second copy of a duplicated one) would count
// as the reply to the current command, and once one is left waiting every later poll would read
// the reply to the command before. The server therefore reads and drops whatever waits once a
// reply has been accepted, before the next command (Duplicated: every second copy is dropped,
// and each block is accepted on the reply to its own command). After a failed attempt nothing
// is dropped, so a copy of a refusal, or a late reply, can still stand in for the reply to the
// next attempt; when the device refused a block while such a stale acceptance was waiting, that
// block is missing from its flash. The server checks the flash CRC the device reports against
// the image's, writes the flash again when they differ and, after the third difference, does
// not send the device to its application (AllFour).
//
// The test can tell stale replies, though: the device numbers its replies from 0 in the order
// the commands reach it, so in the first dialogue of a server and a device the reply to the
// n-th command sent (from 0) carries frame number n.
struct Acceptance {
    std::vector<int64_t> stale_blocks;      // blocks accepted on a reply to an earlier command
    std::vector<int64_t> duplicate_blocks;  // of these, on a reply frame read before
    uint64_t failed_attempts = 0;           // no valid reply, or one with a result other than 1
    uint64_t copies_awaited = 0;  // reply frames read again while a reply was awaited
    uint64_t copies_dropped = 0;  // ... after a reply had been read, before the next command
};

Acceptance acceptance(const Events& dialogue) {
    Acceptance a;
    int64_t sent = 0;
    const TraceEvent* last_reply = nullptr;
    std::set<int64_t> frames_seen;
    bool last_was_seen = false;
    bool replied = false;  // a reply has been read since the last command
    for (const TraceEvent& e : dialogue) {
        if (e.kind == TraceEvent::tx) {
            ++sent;
            replied = false;
        }
        if (e.kind == TraceEvent::reply) {
            last_was_seen = !frames_seen.insert(e.a).second;
            if (last_was_seen) ++(replied ? a.copies_dropped : a.copies_awaited);
            replied = true;
            last_reply = &e;
        }
        if (e.kind == TraceEvent::no_reply || (e.kind == TraceEvent::report && e.b != 1)) {
            ++a.failed_attempts;
        }
        if (e.kind != TraceEvent::block || last_reply == nullptr) continue;
        if (last_reply->a != sent - 1) a.stale_blocks.push_back(e.a);
        if (last_was_seen) a.duplicate_blocks.push_back(e.a);
    }
    return a;
}

// The blocks the device's summary names as differing from the container.
std::vector<int64_t> differing_blocks(const std::string& device_output) {
    std::vector<int64_t> blocks;
    const std::string label = "Блоки, отличные от " + test::container_file() + ":";
    const size_t at = device_output.find(label);
    if (at == std::string::npos) return blocks;
    const size_t end = device_output.find('\n', at);
    std::string list = device_output.substr(at + label.size(), end - at - label.size());
    for (char* p = list.data(); *p != '\0';) {
        char* next = nullptr;
        const long n = std::strtol(p, &next, 10);
        if (next == p) break;
        blocks.push_back(n);
        p = next;
    }
    return blocks;
}

enum class Outcome {
    current_replies,     // every block accepted on the reply to its own command; the flash whole
    duplicates_dropped,  // the same, every second copy of a reply read and dropped
    checked  // the device goes to its application only with the image in its flash
};

struct FaultCase {
    const char* name;
    std::vector<std::string> faults;  // qd-devsim's options
    Outcome outcome;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class Faults : public ::testing::TestWithParam<FaultCase> {};

const std::string kShare = "0.03";
const std::string kSeed = "7";
// Longer than three write passes with these faults take, so that a device the server gives up
// on ends by itself (with its summary) soon after.
const std::string kFaultDeviceLimit = "40000";

INSTANTIATE_TEST_SUITE_P(Cases, Faults,
                         ::testing::Values(FaultCase{"LostDamagedRefused",
                                                     {"--loss", kShare, "--damage", kShare,
                                                      "--refuse-share", kShare, "--seed", kSeed},
                                                     Outcome::current_replies},
                                           FaultCase{"Duplicated",
                                                     {"--duplicate-share", kShare, "--seed", kSeed},
                                                     Outcome::duplicates_dropped},
                                           FaultCase{"AllFour",
                                                     {"--loss", kShare, "--damage", kShare,
                                                      "--refuse-share", kShare, "--duplicate-share",
                                                      kShare, "--seed", kSeed},
                                                     Outcome::checked}),
                         [](const auto& c) { return std::string(c.param.name); });

struct FaultRun {
    std::optional<int> status;
    std::string device;
    Events dialogue;
    Acceptance acceptance;
    double seconds = 0;
};

FaultRun fault_run(std::vector<std::string> faults) {
    FaultRun run;
    const Clock::time_point start = Clock::now();
    Bench bench(1, ServerSettings{2, false, 5, 5});
    if (!bench.error().empty()) {
        run.device = bench.error();
        return run;
    }
    faults.insert(faults.end(), {"--time-limit", kFaultDeviceLimit});
    std::unique_ptr<Process> dev = bench.device("device", updated_device(1, faults));
    run.device = finish(bench, *dev, 1, run.status);
    const std::string text = bench.transcript();
    expect_known_lines(text);
    run.dialogue = first_dialogue(test::trace_events(text));
    run.acceptance = acceptance(run.dialogue);
    run.seconds = seconds_since(start);
    return run;
}

void expect_faults_happened(const FaultCase& c, const std::string& out) {
    const bool refusing = out.find("Команд отвергнуто: ") != std::string::npos;
    if (c.outcome != Outcome::duplicates_dropped) {
        EXPECT_GT(summary_number(out, "потеряно: "), 0u) << out;
        EXPECT_GT(summary_number(out, "повреждено: "), 0u) << out;
        EXPECT_TRUE(refusing && summary_number(out, "Команд отвергнуто: ") > 0) << out;
    }
    if (c.outcome != Outcome::current_replies) {
        EXPECT_GT(summary_number(out, "ответов продублировано: "), 0u) << out;
    }
}

// Each block accepted once, in order, on the reply to its own command; every failed attempt
// one command more.
void expect_current_replies(const FaultRun& run) {
    const Acceptance& a = run.acceptance;
    EXPECT_EQ(run.status, 0) << run.device;
    EXPECT_EQ(of_kind(run.dialogue, TraceEvent::block), every_block())
        << "each block accepted once, in order";
    EXPECT_TRUE(a.stale_blocks.empty());
    EXPECT_EQ(a.failed_attempts, commands_received(run.device) - 488)
        << "each failed attempt is one command more";
}

// The flash check, pass by pass: each CRC read back that differs from the image's is followed
// by the line of a new write pass, or at the third by the line that ends the dialogue; a pass
// writes every block in order; the device goes to its application only with the image.
void expect_checked(const FaultRun& run) {
    const std::vector<int64_t> crcs = of_kind(run.dialogue, TraceEvent::flash_crc);
    ASSERT_FALSE(crcs.empty()) << run.device;
    std::vector<int64_t> blocks;
    for (size_t pass = 0; pass < crcs.size(); ++pass) {
        const std::vector<int64_t> all = every_block();
        blocks.insert(blocks.end(), all.begin(), all.end());
    }
    EXPECT_EQ(of_kind(run.dialogue, TraceEvent::block), blocks) << "each pass writes every block";
    size_t mismatches = 0;
    for (size_t i = 0; i < run.dialogue.size(); ++i) {
        const TraceEvent& e = run.dialogue[i];
        if (e.kind != TraceEvent::flash_crc || e.a == kContainerCrc) continue;
        ++mismatches;
        ASSERT_LT(i + 1, run.dialogue.size());
        const TraceEvent& next = run.dialogue[i + 1];
        if (mismatches < 3) {
            EXPECT_EQ(next.kind, TraceEvent::rewrite) << "a differing flash not written again";
            EXPECT_EQ(next.a, kContainerCrc);
        } else {
            EXPECT_EQ(next.kind, TraceEvent::verify_failed);
        }
    }
    EXPECT_EQ(of_kind(run.dialogue, TraceEvent::rewrite).size(), std::min<size_t>(mismatches, 2));
    const bool jumped = run.device.find("Переход на приложение: выполнен\n") != std::string::npos;
    const std::vector<int64_t> missing = differing_blocks(run.device);
    if (jumped) {
        EXPECT_EQ(run.status, 0) << "sent to its application without the image\n" << run.device;
        EXPECT_EQ(crcs.back(), kContainerCrc);
    } else {
        EXPECT_EQ(run.status, 3) << run.device;
        const bool unconfirmed = !of_kind(run.dialogue, TraceEvent::jump_unconfirmed).empty();
        EXPECT_TRUE(mismatches == 3 || unconfirmed)
            << "left in its bootloader, yet neither its flash refused nor its jump unanswered";
    }
    const std::vector<int64_t>& stale = run.acceptance.stale_blocks;
    for (const int64_t block : missing) {
        EXPECT_NE(std::find(stale.begin(), stale.end(), block), stale.end())
            << "block " << block << " is missing but was accepted on its own reply";
    }
}

TEST_P(Faults, UpdateCompletesOrTheFlashCheckKeepsAWrongFlashFromItsApplication) {
    const FaultCase& c = GetParam();
    FaultRun run;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        run = fault_run(c.faults);
        if (c.outcome == Outcome::checked || run.acceptance.stale_blocks.empty()) break;
        std::printf("attempt %d held up by the machine: a reply came late\n", attempt);
    }
    const std::string& out = run.device;
    ASSERT_TRUE(run.status == 0 || run.status == 1 || run.status == 3) << out;
    expect_faults_happened(c, out);
    const Acceptance& a = run.acceptance;
    switch (c.outcome) {
        case Outcome::current_replies:
            expect_current_replies(run);
            break;
        case Outcome::duplicates_dropped:
            // Each second copy waits when the first has been accepted, and is dropped.
            expect_current_replies(run);
            EXPECT_TRUE(a.duplicate_blocks.empty()) << "a block accepted on a copy";
            EXPECT_EQ(a.copies_awaited, 0u) << "a copy read as the reply to the next command";
            EXPECT_GT(a.copies_dropped, 0u);
            break;
        case Outcome::checked:
            expect_checked(run);
            break;
    }
    const std::vector<int64_t> missing = differing_blocks(out);
    std::string missing_text;
    for (const int64_t b : missing) missing_text += " " + std::to_string(b);
    figure("faults %s: lost %" PRIu64 ", damaged %" PRIu64 ", refused %" PRIu64
           ", duplicated %" PRIu64 "; %" PRIu64
           " commands (488 needed); blocks accepted on a stale reply %zu (on a copy %zu); copies "
           "dropped %" PRIu64 "; write passes %zu; device %s, flash %s%s; test %.1f s",
           c.name, summary_number(out, "потеряно: "), summary_number(out, "повреждено: "),
           summary_number(out, "Команд отвергнуто: "),
           summary_number(out, "ответов продублировано: "), commands_received(out),
           a.stale_blocks.size(), a.duplicate_blocks.size(), a.copies_dropped,
           of_kind(run.dialogue, TraceEvent::flash_crc).size(),
           out.find("Переход на приложение: выполнен\n") != std::string::npos
               ? "sent to its application"
               : "left in its bootloader",
           missing.empty() ? "equals the container" : "lacks blocks", missing_text.c_str(),
           run.seconds);
}

}  // namespace
}  // namespace qd
