// Several devices at once (Parallel=N) on the test network: qd-server in its namespace at
// 198.18.0.1 and one qd-devsim process playing a rack of devices at 198.18.0.2 and up.
//
//   AllAtOnce:     32 devices announcing at once, Parallel=32, after one device alone: every
//                  flash equal, each device sent to its application once, each given exactly
//                  the commands of its dialogue, frame numbers unique and rising.
//   FourOfTen:     Parallel=4 and 10 devices: never more than 4 dialogues at once; all updated.
//   FaultsOnSome:  lost, damaged, refused and duplicated replies on some devices, one silent
//                  for ever, one reporting a wrong flash CRC, rogue announcements and a second
//                  serial number at an address in a dialogue; the journal's lines.
//   Memory:        racks one after the other; the server's resident memory stays.
//
// Every case checks outcomes, never durations; each prints its figures as lines starting with
// "[figure]" (see docs/robustness.md).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/constants.hpp"
#include "protocol/frames.hpp"
#include "support/bench.hpp"
#include "support/devsim_result.hpp"
#include "support/figure.hpp"
#include "support/junk.hpp"
#include "support/proc_stats.hpp"
#include "support/rack_console.hpp"
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
using Clock = std::chrono::steady_clock;

constexpr unsigned kContainerCrc = 0xD718226B;
constexpr uint64_t kCommandsOfAnUpdate = 488;  // 4 steps, erase, password, 480 blocks, CRC, jump
constexpr int kSettleMs = 60000;  // for the server to end its dialogues once the devices ended
constexpr long kGrowthKib = 64;   // the most the server's resident memory may change
const std::string kEndMark = " мс, повторов: ";  // in every end line of a dialogue, only there

// --- the devices ----------------------------------------------------------------------------

std::string ip(int n) { return TestNetwork::device_ip(n); }

// The rack's process: `count` devices from 198.18.0.2 on, serial numbers `mac` plus the index,
// erased flash, the container expected; `more` (fault options with --only) at the end.
std::vector<std::string> rack_args(int count, const std::string& mac, int interval_ms,
                                   int limit_ms, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{"--address",    ip(1),
                                  "--count",      std::to_string(count),
                                  "--mac",        mac,
                                  "--interval",   std::to_string(interval_ms),
                                  "--expect",     test::container_file(),
                                  "--time-limit", std::to_string(limit_ms)};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// A rack's summary for programs: one result line per device, in order, and the total.
struct RackResult {
    std::vector<DevsimResult> devices;
    std::optional<DevsimResult> total;
};

RackResult rack_result(const std::string& console) {
    RackResult r;
    std::istringstream in(console);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("result: index=", 0) == 0) r.devices.emplace_back(line);
        if (line.rfind("total: ", 0) == 0) r.total.emplace("result:" + line.substr(6));
    }
    return r;
}

// Waits for a rack to end; its summary, with as many device lines as it has devices.
RackResult finish_rack(Process& rack, int devices, int limit_ms, std::optional<int>& status) {
    status = rack.wait_for(limit_ms + 30000);
    if (!status) rack.stop();
    RackResult r = rack_result(rack.output());
    EXPECT_EQ(r.devices.size(), static_cast<size_t>(devices)) << rack.output();
    EXPECT_TRUE(r.total.has_value()) << rack.output();
    return r;
}

// --- the server's console -------------------------------------------------------------------

// The commands of the update sequence: code and qd-devsim's key.
const std::vector<std::pair<int, std::string>>& command_keys() {
    static const std::vector<std::pair<int, std::string>> keys{
        {CMD_NOP, "cmd_nop"},
        {CMD_ACTIVATE_BL, "cmd_activate_bl"},
        {CMD_GET_CONFIG, "cmd_get_config"},
        {CMD_UNBLOCK_FLASH, "cmd_unblock_flash"},
        {CMD_ERASE_UP_FLASH, "cmd_erase_up_flash"},
        {CMD_SET_PASS_BIN, "cmd_set_pass_bin"},
        {CMD_WRITE_UP_FLASH, "cmd_write_up_flash"},
        {CMD_GETCRC_FLASH, "cmd_getcrc_flash"},
        {CMD_JUMP_TO_APP, "cmd_jump_to_app"}};
    return keys;
}

// What the console tells of one address.
struct AddressLog {
    std::map<int, uint64_t> sent;  // commands traced as sent ("TX byte"), by code
    uint64_t commands = 0;
    int starts = 0;
    int ends = 0;
    int sent_outside = 0;  // commands traced while no dialogue with the address ran
    bool open = false;
};

// The dialogues in the console's order: starts and ends, the frame trace.
struct ConsoleScan {
    std::map<std::string, AddressLog> by_address;
    std::vector<std::string> ended;  // the addresses in the order their dialogues ended
    std::vector<uint64_t> frames;  // of the commands traced, in console order
    int most_at_once = 0;
    int running = 0;
};

bool is_address(const std::string& s) {
    return !s.empty() && std::count(s.begin(), s.end(), '.') == 3 &&
           s.find_first_not_of("0123456789.") == std::string::npos;
}

void scan_sent(ConsoleScan& scan, AddressLog& a, const std::string& rest) {
    int code = -1;
    unsigned long long frame = 0;
    if (std::sscanf(rest.c_str(), "TX byte: 288; CMD:%d; Frame:%llu", &code, &frame) != 2) return;
    ++a.sent[code];
    ++a.commands;
    if (!a.open) ++a.sent_outside;
    scan.frames.push_back(frame);
}

void scan_line(ConsoleScan& scan, const std::string& line) {
    const size_t blank = line.find(' ');
    if (blank == std::string::npos || !is_address(line.substr(0, blank))) return;
    AddressLog& a = scan.by_address[line.substr(0, blank)];
    const std::string rest = line.substr(blank + 1);
    if (rest == "Начато обновление ПО" || rest == "Передаем команду CMD_JUMP_TO_APP") {
        ++a.starts;
        a.open = true;
        scan.most_at_once = std::max(scan.most_at_once, ++scan.running);
    } else if (test::is_end_line(rest)) {
        ++a.ends;
        scan.ended.push_back(line.substr(0, blank));
        a.open = false;
        --scan.running;
    } else {
        scan_sent(scan, a, rest);
    }
}

ConsoleScan scan_console(const std::string& text) {
    ConsoleScan scan;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) scan_line(scan, line);
    return scan;
}

void expect_frames_unique_and_rising(const ConsoleScan& scan) {
    for (size_t i = 1; i < scan.frames.size(); ++i) {
        ASSERT_LT(scan.frames[i - 1], scan.frames[i]) << "command " << i << " of the console";
    }
}

// The device got exactly the commands the server traced as sent to its address, code by code,
// each within its one dialogue, and nothing else. Under the sanitizers it may get fewer: a device
// slowed down that much lets its socket's queue overflow, the system drops what does not fit, and
// the server's retries make up for it; it never gets more.
void expect_count(uint64_t got, uint64_t sent, const std::string& key) {
    if (test::kAddressSanitized) {
        EXPECT_LE(got, sent) << key;
    } else {
        EXPECT_EQ(got, sent) << key;
    }
}

void expect_commands_as_sent(const DevsimResult& dev, const AddressLog& a) {
    for (const auto& [code, key] : command_keys()) {
        const auto it = a.sent.find(code);
        expect_count(dev.number(key), it == a.sent.end() ? 0u : it->second, key);
    }
    expect_count(dev.number("commands"), a.commands, "commands");
    EXPECT_EQ(dev.number("cmd_other"), 0u);
    EXPECT_EQ(dev.number("invalid"), 0u);
    EXPECT_EQ(a.sent_outside, 0) << "commands sent outside the dialogue";
    EXPECT_EQ(a.starts, 1);
    EXPECT_EQ(a.ends, 1);
}

// The end lines' durations of a console, in ms: the longest.
uint64_t longest_dialogue_ms(const std::string& text) {
    uint64_t most = 0;
    for (size_t at = text.find(kEndMark); at != std::string::npos;
         at = text.find(kEndMark, at + 1)) {
        const size_t from = text.rfind(": ", at);
        if (from != std::string::npos) {
            most = std::max<uint64_t>(most, std::stoull(text.substr(from + 2)));
        }
    }
    return most;
}

// Waits until the server has ended `dialogues` dialogues in all.
bool wait_for_ends(Bench& bench, size_t dialogues) {
    return bench.wait_for_count(kEndMark, dialogues, kSettleMs);
}

struct RackCase {
    const char* name;
    ServerSettings server;
    bool whole_lines;  // the console of each clean dialogue is compared whole (no repeats)
    int device_limit_ms = 90000;  // the rack process's --time-limit
    int least_at_once = 0;        // dialogues that must have run at once
};

void PrintTo(const RackCase& c, std::ostream* os) { *os << c.name; }

std::string case_name(const ::testing::TestParamInfo<RackCase>& info) { return info.param.name; }

void expect_clean_dialogue(const std::string& text, const std::string& address) {
    EXPECT_EQ(test::lines_of(text, address), test::clean_update_lines(true, kContainerCrc))
        << address;
}


// --- 1. 32 devices announcing at once --------------------------------------------------------

constexpr int kRack = 32;

// Fixed pauses of 50 ms for the steps (the jump's reply comes before its poll) and 5 ms for the
// blocks; reply-paced, each wait bounded by 500 ms, so that a device held up for a moment is
// not asked twice and each dialogue's lines can be compared whole. With the frame trace.
// The rack's devices announce 10 ms apart (0.31 s from the first to the last): a dialogue with
// fixed pauses lasts over 3 s, so all 32 run at once; reply-paced one may end within 0.2 s.
class AllAtOnce : public ::testing::TestWithParam<RackCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, AllAtOnce,
    ::testing::Values(RackCase{"FixedPauses",
                               {.debug_print = 2, .delay_frames = 50, .delay_write = 5,
                                .parallel = kRack},
                               false, 90000, kRack},
                      RackCase{"ReplyPaced",
                               {.debug_print = 2, .reply_paced = true, .delay_frames = 500,
                                .delay_write = 500, .parallel = kRack},
                               true, 90000, kRack / 2}),
    case_name);

// A device of a rack without faults: updated, sent to its application once, given the commands
// its dialogue traced and no others.
void expect_updated_once(const DevsimResult& dev, const ConsoleScan& scan) {
    EXPECT_TRUE(dev.jumped());
    EXPECT_TRUE(dev.flash_ok());
    EXPECT_EQ(dev.number("cmd_jump_to_app"), 1u);
    const auto it = scan.by_address.find(dev.text("address"));
    ASSERT_NE(it, scan.by_address.end()) << "no dialogue";
    expect_commands_as_sent(dev, it->second);
}

struct Alone {
    double seconds = 0;  // from the start of its process to the end of its dialogue
    uint64_t dialogue_ms = 0;
};

// One device alone at 198.18.0.2, for the figures; `offset` moves past its dialogue.
Alone update_alone(Bench& bench, size_t& offset, int limit_ms) {
    Alone a;
    const Clock::time_point start = Clock::now();
    std::unique_ptr<Process> dev =
        bench.device("alone", rack_args(1, "2.81.68.0.0.99", 2000, limit_ms));
    EXPECT_TRUE(wait_for_ends(bench, 1)) << bench.transcript();
    a.seconds = seconds_since(start);
    const std::optional<int> status = dev->wait_for(limit_ms + 30000);
    EXPECT_EQ(status, 0) << dev->output();
    EXPECT_TRUE(DevsimResult(dev->output()).flash_ok()) << dev->output();
    a.dialogue_ms = longest_dialogue_ms(bench.transcript_since(offset));
    return a;
}

TEST_P(AllAtOnce, EachUpdatedOnceWithTheCommandsOfItsDialogueAndFramesRising) {
    const RackCase& c = GetParam();
    Bench bench(kRack, c.server);
    ASSERT_EQ(bench.error(), "");
    size_t offset = 0;
    const Alone alone = update_alone(bench, offset, c.device_limit_ms);

    // Kept answering for 2 s after the jump: a repeated jump would be counted.
    const Clock::time_point start = Clock::now();
    std::unique_ptr<Process> rack =
        bench.device("rack", rack_args(kRack, "2.81.68.0.1.0", 2000, c.device_limit_ms,
                                       {"--after-jump", "2000"}));
    const bool ended = wait_for_ends(bench, 1 + kRack);
    const double rack_seconds = seconds_since(start);
    std::optional<int> status;
    const RackResult r = finish_rack(*rack, kRack, c.device_limit_ms, status);
    ASSERT_TRUE(ended) << "the server did not end every dialogue";
    EXPECT_EQ(status, 0);

    const std::string text = bench.transcript_since(offset);
    const ConsoleScan scan = scan_console(text);
    for (const DevsimResult& dev : r.devices) {
        SCOPED_TRACE(dev.text("address"));
        expect_updated_once(dev, scan);
        if (c.whole_lines) expect_clean_dialogue(text, dev.text("address"));
    }
    EXPECT_GE(scan.most_at_once, c.least_at_once) << "not at once";
    EXPECT_LE(scan.most_at_once, kRack);
    const ConsoleScan all = scan_console(bench.transcript());
    expect_frames_unique_and_rising(all);
    figure("rack %s: %d devices announcing at once, Parallel=%d: all updated %.1f s after the "
           "rack's process started, longest dialogue %" PRIu64 " ms, %d at once at most; one "
           "device alone %" PRIu64 " ms (%.1f s from its start); %zu commands, frame numbers "
           "%" PRIu64 "..%" PRIu64 " unique and rising",
           c.name, kRack, kRack, rack_seconds, longest_dialogue_ms(text), scan.most_at_once,
           alone.dialogue_ms,
           alone.seconds, all.frames.size(), all.frames.empty() ? 0 : all.frames.front(),
           all.frames.empty() ? 0 : all.frames.back());
}

// --- 2. Parallel=4 and 10 devices -------------------------------------------------------------

constexpr int kFewSlots = 4;
constexpr int kManyDevices = 10;

class FourOfTen : public ::testing::TestWithParam<RackCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, FourOfTen,
    ::testing::Values(RackCase{"FixedPauses",
                               {.debug_print = 1, .delay_frames = 50, .delay_write = 5,
                                .parallel = kFewSlots},
                               false},
                      RackCase{"ReplyPaced",
                               {.debug_print = 1, .reply_paced = true, .delay_frames = 500,
                                .delay_write = 500, .parallel = kFewSlots},
                               true}),
    case_name);

// The devices announce every 0.5 s until served: those beyond the four are dropped unreported
// while four dialogues run, and served when a slot is free.
TEST_P(FourOfTen, NeverMoreThanFourAtOnceAndAllUpdated) {
    const RackCase& c = GetParam();
    Bench bench(kManyDevices, c.server);
    ASSERT_EQ(bench.error(), "");
    const Clock::time_point start = Clock::now();
    std::unique_ptr<Process> rack =
        bench.device("rack", rack_args(kManyDevices, "2.81.68.0.2.0", 500, c.device_limit_ms));
    const bool ended = wait_for_ends(bench, kManyDevices);
    const double seconds = seconds_since(start);
    std::optional<int> status;
    const RackResult r = finish_rack(*rack, kManyDevices, c.device_limit_ms, status);
    ASSERT_TRUE(ended) << "the server did not end every dialogue";
    EXPECT_EQ(status, 0);

    const std::string text = bench.transcript();
    const ConsoleScan scan = scan_console(text);
    EXPECT_LE(scan.most_at_once, kFewSlots) << "more dialogues at once than Parallel allows";
    EXPECT_EQ(scan.most_at_once, kFewSlots) << "never four at once";
    EXPECT_EQ(scan.running, 0);
    for (const DevsimResult& dev : r.devices) {
        const std::string address = dev.text("address");
        SCOPED_TRACE(address);
        EXPECT_TRUE(dev.jumped() && dev.flash_ok());
        EXPECT_EQ(dev.number("cmd_jump_to_app"), 1u);
        EXPECT_EQ(scan.by_address.count(address) == 1 ? scan.by_address.at(address).starts : 0, 1);
        if (c.whole_lines) expect_clean_dialogue(text, address);
    }
    figure("four of ten %s: %d devices, Parallel=%d: at most %d dialogues at once, all updated "
           "%.1f s after the rack's process started; longest dialogue %" PRIu64 " ms",
           c.name, kManyDevices, kFewSlots, scan.most_at_once, seconds, longest_dialogue_ms(text));
}

// --- 3. faults on some devices ----------------------------------------------------------------

constexpr int kFaultRack = 8;
// Longer than the others' updates take under the sanitizers on a busy machine (up to 9 s seen),
// so that they all end while the silent device is still waited for.
constexpr int kStallSeconds = 12;
constexpr uint32_t kErasedCrc = 0x7EF40B2C;  // CRC-32 of 122880 erased (0xFF) bytes
const std::string kJournal = "updates.csv";   // in the server's working folder, the test's too
const std::string kJournalHeader =
    "time,serial,ip,hw,bootloader,crc_before,decision,result,crc_after,image,image_crc,"
    "duration_ms,commands,repeats";

// How a device's dialogue is to end, as the journal's result column says.
struct FaultyDevice {
    int index;
    std::vector<std::string> faults;  // qd-devsim's options for it alone
    std::string result;
    uint64_t accepted;      // commands accepted (sent less repeated); silent: before it
    std::string crc_after;  // the flash CRC it reported last
};

// Devices 1-4 with faults of their replies, 5 silent for ever from its 20th command, 6
// reporting a wrong flash CRC; 0 and 7 without faults.
const std::vector<FaultyDevice>& faulty_devices() {
    static const std::vector<FaultyDevice> list{
        {0, {}, "updated", kCommandsOfAnUpdate, "D718226B"},
        {1, {"--loss-at", "5,100-102,300"}, "updated", kCommandsOfAnUpdate, "D718226B"},
        {2, {"--damage-at", "3,150,151,400"}, "updated", kCommandsOfAnUpdate, "D718226B"},
        {3,
         {"--refuse", "CMD_ERASE_UP_FLASH:0:1", "--refuse", "CMD_WRITE_UP_FLASH:0:3"},
         "updated",
         kCommandsOfAnUpdate,
         "D718226B"},
        {4, {"--duplicate"}, "updated", kCommandsOfAnUpdate, "D718226B"},
        {5, {"--silent", "20:forever"}, "stalled", 19, ""},
        {6, {"--wrong-crc"}, "verify-failed", 4 + 3 * (kCommandsOfAnUpdate - 5), "D718226A"},
        {7, {}, "updated", kCommandsOfAnUpdate, "D718226B"},
    };
    return list;
}

std::vector<std::string> fault_options() {
    std::vector<std::string> options;
    for (const FaultyDevice& f : faulty_devices()) {
        if (f.faults.empty()) continue;
        options.push_back("--only");
        options.push_back(std::to_string(f.index));
        options.insert(options.end(), f.faults.begin(), f.faults.end());
    }
    return options;
}

// Announcements made by the test: two of addresses that can be no device's, and a second
// serial number announcing the address of the silent device while its dialogue runs.
struct Crafted {
    std::array<uint8_t, 4> ip;
    std::array<uint8_t, 6> mac;
};
const Crafted kRogueSubnet{{198, 18, 0, 255}, {2, 81, 68, 9, 0, 1}};
const Crafted kRogueAll{{255, 255, 255, 255}, {2, 81, 68, 9, 0, 2}};
const Crafted kSecondSerial{{198, 18, 0, 7}, {2, 81, 68, 9, 0, 3}};  // device 5's address

std::string dotted(const uint8_t* bytes, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += (i > 0 ? "." : "") + std::to_string(bytes[i]);
    return s;
}
std::string ip_of(const Crafted& c) { return dotted(c.ip.data(), c.ip.size()); }
std::string serial_of(const Crafted& c) { return dotted(c.mac.data(), c.mac.size()); }

bool send_crafted(test::UdpSocket& so, const Crafted& c, uint32_t frame) {
    const test::Bytes bytes = test::announcement_frame({c.ip, c.mac, kErasedCrc, frame});
    return so.send_to(TestNetwork::kServerIp, UPDATE_PORT, bytes);
}

using Rows = std::vector<std::vector<std::string>>;

// The journal's lines after its header, each split at its commas (no field holds one).
Rows journal_rows(std::string& header) {
    std::ifstream in(kJournal);
    std::getline(in, header);
    Rows rows;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> row;
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, ',');) row.push_back(f);
        if (!line.empty() && line.back() == ',') row.emplace_back();
        rows.push_back(row);
    }
    return rows;
}

// The journal's lines of a serial number.
Rows rows_of(const Rows& rows, const std::string& serial) {
    Rows of;
    for (const auto& row : rows) {
        if (row.size() > 1 && row[1] == serial) of.push_back(row);
    }
    return of;
}

enum Column { kTime, kSerial, kIp, kHw, kBootloader, kCrcBefore, kDecision, kResult, kCrcAfter,
              kImage, kImageCrc, kDuration, kCommands, kRepeats, kColumns };

// The journal's one line of a device: the columns the rack determines, and its commands as the
// device counted them (those dropped while silent included) and as the console traced them.
void expect_device_row(const Rows& rows, const DevsimResult& dev,
                       const FaultyDevice& f, const AddressLog& log) {
    const auto mine = rows_of(rows, dev.text("serial"));
    ASSERT_EQ(mine.size(), 1u) << "journal lines of " << dev.text("serial");
    const std::vector<std::string>& row = mine.front();
    ASSERT_EQ(row.size(), static_cast<size_t>(kColumns));
    EXPECT_TRUE(std::regex_match(row[kTime],
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")))
        << row[kTime];
    EXPECT_EQ(std::vector<std::string>(row.begin() + kIp, row.begin() + kDuration),
              (std::vector<std::string>{dev.text("address"), "1", "1", "7EF40B2C", "update",
                                        f.result, f.crc_after, "D718226B.upk", "D718226B"}));
    const uint64_t commands = std::stoull(row[kCommands]);
    EXPECT_EQ(commands, dev.number("commands") + dev.number("dropped_silent"));
    EXPECT_EQ(commands, log.commands) << "the journal and the console's trace differ";
    const uint64_t accepted = commands - std::stoull(row[kRepeats]);
    if (f.result != "stalled") {
        EXPECT_EQ(accepted, f.accepted);
        return;
    }
    // A reply to one of its first commands that came after the poll was a repeat.
    EXPECT_LE(accepted, f.accepted);
    EXPECT_GE(std::stoull(row[kDuration]), kStallSeconds * 1000u) << "given up too early";
}

void expect_rogue_row(const Rows& rows, const Crafted& c) {
    const auto mine = rows_of(rows, serial_of(c));
    ASSERT_EQ(mine.size(), 1u) << "journal lines of " << serial_of(c);
    const std::vector<std::string>& row = mine.front();
    ASSERT_EQ(row.size(), static_cast<size_t>(kColumns));
    EXPECT_EQ(std::vector<std::string>(row.begin() + kIp, row.end()),
              (std::vector<std::string>{ip_of(c), "1", "1", "7EF40B2C", "bad-address", "ignored",
                                        "", "D718226B.upk", "D718226B", "0", "0", "0"}));
}

size_t count_line(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// What the device's side and the console show of a device, by the way its dialogue ends.
void expect_device_end(const DevsimResult& dev, const FaultyDevice& f, const ConsoleScan& scan,
                       const std::string& text) {
    const AddressLog& log = scan.by_address.at(dev.text("address"));
    const std::vector<std::string> lines = test::lines_of(text, dev.text("address"));
    if (f.result == "stalled") {
        EXPECT_FALSE(dev.jumped());
        EXPECT_EQ(dev.number("commands"), f.accepted) << "silent from its 20th command";
        EXPECT_EQ(log.sent_outside, 0);
        EXPECT_EQ(log.starts, 1);
        EXPECT_EQ(log.ends, 1);
        EXPECT_EQ(count_line(lines, "Устройство не отвечает " + std::to_string(kStallSeconds) +
                                        " с, обмен прерван"),
                  1u);
        return;
    }
    expect_commands_as_sent(dev, log);
    EXPECT_TRUE(dev.flash_ok());
    if (f.result == "updated") {
        EXPECT_TRUE(dev.jumped());
        EXPECT_EQ(dev.number("cmd_jump_to_app"), 1u);
        return;
    }
    EXPECT_FALSE(dev.jumped());
    // Three write passes; a block whose reply came after the poll is sent again.
    EXPECT_EQ(dev.number("cmd_erase_up_flash"), 3u);
    EXPECT_EQ(dev.number("cmd_getcrc_flash"), 3u);
    EXPECT_GE(dev.number("cmd_write_up_flash"), 3u * 480u);
    EXPECT_EQ(dev.number("cmd_jump_to_app"), 0u);
    EXPECT_EQ(count_line(lines, "CRC32 FLASH UP1 не совпадает с образом (0hD718226B), "
                                "повторяем запись"),
              2u);
    EXPECT_EQ(count_line(lines, "Обновление не удалось, переход в приложение не выполняется"),
              1u);
}

// The second serial number's one line, inside the dialogue of the address it announced.
void expect_second_serial_line(const std::string& text) {
    const std::vector<std::string> lines = test::lines_of(text, ip_of(kSecondSerial));
    const std::string said = "Сер. номер " + serial_of(kSecondSerial) +
                             " объявил адрес устройства в обмене, объявление отброшено";
    EXPECT_EQ(count_line(lines, said), 1u) << "said once, announced twice";
    const auto at = std::find(lines.begin(), lines.end(), said);
    EXPECT_TRUE(at != lines.end() && at != lines.begin() && at + 1 != lines.end())
        << "not within the dialogue";
}

void expect_rogues_unanswered(const std::string& text, uint64_t heard_commands) {
    for (const Crafted& c : {kRogueSubnet, kRogueAll}) {
        SCOPED_TRACE(ip_of(c));
        const std::string refused =
            "IP адрес устройства " + ip_of(c) + " недопустим, обмен с ним невозможен!\n";
        size_t n = 0;
        for (size_t at = text.find(refused); at != std::string::npos;
             at = text.find(refused, at + 1)) {
            ++n;
        }
        EXPECT_EQ(n, 1u);
        EXPECT_EQ(test::lines_of(text, ip_of(c), true), std::vector<std::string>{})
            << "a dialogue with the address";
    }
    EXPECT_EQ(heard_commands, 0u) << "a command to " << ip_of(kRogueSubnet);
}

const FaultyDevice& silent_device() {
    const auto& list = faulty_devices();
    return *std::find_if(list.begin(), list.end(),
                         [](const FaultyDevice& f) { return f.result == "stalled"; });
}

// The updated devices ended while the silent one was still waited for.
void expect_not_held_up(const ConsoleScan& scan) {
    const std::string silent = ip(silent_device().index + 1);
    const auto& order = scan.ended;
    const auto silent_at = std::find(order.begin(), order.end(), silent);
    ASSERT_NE(silent_at, order.end());
    for (const FaultyDevice& f : faulty_devices()) {
        if (f.result != "updated") continue;
        const auto at = std::find(order.begin(), order.end(), ip(f.index + 1));
        EXPECT_TRUE(at < silent_at) << ip(f.index + 1) << " ended after the silent device";
    }
}

// Commands reaching the subnet's broadcast address on the devices' side.
uint64_t commands_heard(test::UdpSocket& listener) {
    uint64_t n = 0;
    for (int i = 0; i < 10000; ++i) {
        const std::optional<test::Datagram> d = listener.receive(0);
        if (!d) break;
        if (d->data.size() == sizeof(from_serv_update_t)) ++n;
    }
    return n;
}

// Each device's end on its side, in the console and in its one journal line.
void expect_each_device(const RackResult& r, const ConsoleScan& scan, const std::string& text,
                        const Rows& rows, bool whole_lines) {
    for (const FaultyDevice& f : faulty_devices()) {
        const DevsimResult& dev = r.devices[static_cast<size_t>(f.index)];
        const std::string address = dev.text("address");
        SCOPED_TRACE(address + " " + f.result);
        ASSERT_EQ(scan.by_address.count(address), 1u) << "no dialogue";
        expect_device_end(dev, f, scan, text);
        expect_device_row(rows, dev, f, scan.by_address.at(address));
        if (whole_lines && f.faults.empty()) expect_clean_dialogue(text, address);
    }
}

class FaultsOnSome : public ::testing::TestWithParam<RackCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, FaultsOnSome,
    ::testing::Values(RackCase{"FixedPauses",
                               {.debug_print = 2, .delay_frames = 50, .delay_write = 5,
                                .stall_timeout = kStallSeconds, .parallel = 16,
                                .journal = kJournal},
                               false, 25000},
                      RackCase{"ReplyPaced",
                               {.debug_print = 2, .reply_paced = true, .delay_frames = 250,
                                .delay_write = 250, .stall_timeout = kStallSeconds,
                                .parallel = 16, .journal = kJournal},
                               true, 21000}),
    case_name);

// Sends the crafted announcements once the silent device's dialogue has begun: the second
// serial number twice, each rogue once.
::testing::AssertionResult announce_crafted(Bench& bench) {
    test::UdpSocket so = bench.net().in_device([] { return test::UdpSocket(); });
    if (!so.bind(ip(kFaultRack + 1), 0)) return ::testing::AssertionFailure() << "no socket";
    if (!bench.wait_for_count(ip_of(kSecondSerial) + " Начато обновление ПО\n", 1, kSettleMs)) {
        return ::testing::AssertionFailure() << "the silent device's dialogue did not begin";
    }
    const bool sent = send_crafted(so, kSecondSerial, 1) && send_crafted(so, kRogueSubnet, 1) &&
                      send_crafted(so, kSecondSerial, 2) && send_crafted(so, kRogueAll, 1);
    if (!sent || !bench.wait_for_count(" недопустим, обмен с ним невозможен!\n", 2, kSettleMs)) {
        return ::testing::AssertionFailure() << "the rogue announcements were not refused";
    }
    return ::testing::AssertionSuccess();
}

TEST_P(FaultsOnSome, OthersCompleteAndEachEndsAsItsFaultSays) {
    const RackCase& c = GetParam();
    const Clock::time_point start = Clock::now();
    Bench bench(kFaultRack + 1, c.server);
    ASSERT_EQ(bench.error(), "");
    test::UdpSocket listener = bench.net().in_device([] { return test::UdpSocket(); });
    ASSERT_TRUE(listener.bind(ip_of(kRogueSubnet), UPDATE_PORT));
    std::unique_ptr<Process> rack = bench.device(
        "rack", rack_args(kFaultRack, "2.81.68.0.3.0", 600000, c.device_limit_ms,
                          fault_options()));
    ASSERT_TRUE(announce_crafted(bench)) << bench.transcript();
    std::optional<int> status;
    const RackResult r = finish_rack(*rack, kFaultRack, c.device_limit_ms, status);
    ASSERT_TRUE(wait_for_ends(bench, kFaultRack)) << "the server did not end every dialogue";
    EXPECT_EQ(status, 3) << "the silent and the wrong device never jump";
    ASSERT_EQ(r.devices.size(), faulty_devices().size());

    const std::string text = bench.transcript();
    const ConsoleScan scan = scan_console(text);
    std::string header;
    const Rows rows = journal_rows(header);
    EXPECT_EQ(header, kJournalHeader);
    EXPECT_EQ(rows.size(), faulty_devices().size() + 2) << "one line per device and rogue";
    expect_each_device(r, scan, text, rows, c.whole_lines);
    expect_rogue_row(rows, kRogueSubnet);
    expect_rogue_row(rows, kRogueAll);
    EXPECT_TRUE(rows_of(rows, serial_of(kSecondSerial)).empty()) << "the second serial decided";
    expect_second_serial_line(text);
    expect_rogues_unanswered(text, commands_heard(listener));
    expect_not_held_up(scan);
    expect_frames_unique_and_rising(scan);
    const size_t silent_index = static_cast<size_t>(silent_device().index);
    const Rows silent = rows_of(rows, r.devices[silent_index].text("serial"));
    figure("faults on some %s: %d devices, Parallel=16: 6 updated (lost, damaged, refused and "
           "duplicated replies on 4 of them), the silent one given up after %s ms (StallTimeout "
           "%d s), the wrong CRC after 3 passes; 2 rogue announcements and a second serial "
           "refused, nothing sent for them; journal %zu lines; longest dialogue %" PRIu64
           " ms; test %.1f s",
           c.name, kFaultRack, silent.size() == 1 ? silent[0][kDuration].c_str() : "?",
           kStallSeconds, rows.size(), longest_dialogue_ms(text), seconds_since(start));
}

// --- 4. the server's memory over racks one after the other ----------------------------------

constexpr int kRacks = 4;
constexpr int kRackOf = 16;
constexpr int kMemoryRackLimitMs = 60000;

long resident(Bench& bench) {
    const std::optional<long> kib = test::resident_kib(bench.server().pid());
    EXPECT_TRUE(kib.has_value()) << "the server is gone";
    return kib.value_or(0);
}

// One rack of new serial numbers at 198.18.0.2 and up, all updated.
void update_rack(Bench& bench, int n) {
    std::unique_ptr<Process> rack = bench.device(
        "rack" + std::to_string(n),
        rack_args(kRackOf, "2.81.68.1." + std::to_string(n) + ".0", 1000, kMemoryRackLimitMs));
    std::optional<int> status;
    const RackResult r = finish_rack(*rack, kRackOf, kMemoryRackLimitMs, status);
    EXPECT_EQ(status, 0) << rack->output();
    ASSERT_TRUE(r.total.has_value());
    EXPECT_EQ(r.total->number("jumped"), static_cast<uint64_t>(kRackOf));
    EXPECT_EQ(r.total->number("flash_ok"), static_cast<uint64_t>(kRackOf));
    EXPECT_TRUE(wait_for_ends(bench, static_cast<size_t>(n * kRackOf)))
        << "the server did not end every dialogue of rack " << n;
}

TEST(Memory, RacksOneAfterTheOtherAndTheServerDoesNotGrow) {
    const Clock::time_point start = Clock::now();
    Bench bench(kRackOf, ServerSettings{.debug_print = 0, .reply_paced = true,
                                        .delay_frames = 100, .delay_write = 100,
                                        .parallel = kRackOf});
    ASSERT_EQ(bench.error(), "");
    long first_kib = 0;
    long last_kib = 0;
    long most_kib = 0;
    for (int n = 1; n <= kRacks; ++n) {
        update_rack(bench, n);
        if (::testing::Test::HasFatalFailure()) return;
        last_kib = resident(bench);
        if (n == 1) first_kib = last_kib;
        most_kib = std::max(most_kib, last_kib);
    }
    if (!test::kAddressSanitized) {
        EXPECT_LE(std::labs(last_kib - first_kib), kGrowthKib)
            << "resident memory after the first rack " << first_kib << " KiB, after the last "
            << last_kib << " KiB";
    }
    figure("memory: %d racks of %d one after the other (reply-paced, Parallel=%d), %d devices "
           "updated in %.1f s; server VmRSS after the first rack %ld KiB, after the last %ld KiB, "
           "most %ld KiB",
           kRacks, kRackOf, kRackOf, kRacks * kRackOf, seconds_since(start), first_kib, last_kib,
           most_kib);
}

}  // namespace
}  // namespace qd
