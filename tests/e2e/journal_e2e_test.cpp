// The update journal on the test network: qd-server with [LOG] Journal and qd-devsim devices.
//
//   Verdicts:  one server per configuration, its devices one after the other, every
//                      decision and result; each line read back field by field.
//   JournalKilled:     the server killed right after a line: the line is in the file whole.
//   JournalUnopenable: a missing folder, a read-only file: said at start-up, updates go on.
//   JournalDiskFull:   the disk fills up mid-run: said once, no half line, updates go on.
//
// The read-only file and the full disk are mounts in a mount namespace of the test process's
// own (support/mounts.hpp), which the server inherits: root ignores file modes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <thread>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "protocol/constants.hpp"
#include "protocol/frames.hpp"
#include "protocol/crc.hpp"
#include "support/bench.hpp"
#include "support/csv.hpp"
#include "support/devsim_result.hpp"
#include "support/junk.hpp"
#include "support/junk_stream.hpp"
#include "support/mounts.hpp"
#include "support/trace.hpp"
#include "support/udp.hpp"

namespace qd {
namespace {

namespace fs = std::filesystem;
using test::Bench;
using test::CsvRecord;
using test::DevsimResult;
using test::Process;
using test::ServerSettings;
using test::TestNetwork;
using test::TraceEvent;
using Clock = std::chrono::steady_clock;

constexpr int kSettleMs = 60000;     // the longest wait for the server to be done with a device
constexpr int kDeviceEndMs = 90000;  // ... for a device to end (its own limit is lower)
constexpr int kJumps = 60000;        // the time limit of a device that ends by its jump
constexpr int kQuiet = 2000;         // ... of a device that nothing is sent to
constexpr size_t kFields = 14;
const std::string kJournal = "journal.csv";
const std::string kImage = "D718226B.upk";
const std::string kSep = std::string(56, '-') + "\n";
const std::string kStarted = "Старт сервера обновлений... \n";
const std::string kIgnoredEnd = "Ожидаем что оно перейдет на UP по таймауту.\n";
const std::string kWriteFailed = "Ошибка записи журнала обновлений: ";
const std::string kNotOpened = "Журнал обновлений ";
const char* const kHeader =
    "time,serial,ip,hw,bootloader,crc_before,decision,result,crc_after,image,image_crc,"
    "duration_ms,commands,repeats";
const std::string kHw = "3";  // the versions the devices announce
const std::string kBl = "2";

// --- small helpers -------------------------------------------------------------------------

std::string ip(int n) { return TestNetwork::device_ip(n); }
std::string serial(int n) { return "2.81.68.7.0." + std::to_string(n); }
std::array<uint8_t, 6> mac(int n) { return {2, 81, 68, 7, 0, static_cast<uint8_t>(n)}; }

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string hex8(uint32_t v) {
    char s[16];
    std::snprintf(s, sizeof s, "%08X", v);
    return s;
}

// The CRC-32 of a flash that holds these bytes from its start, the rest erased.
uint32_t flash_crc(std::vector<uint8_t> bytes) {
    bytes.resize(IMAGE_SIZE, 0xFF);
    return fullcalk_crc32(bytes.data(), IMAGE_SIZE, CRC32_POLY);
}

uint32_t erased_crc() { return flash_crc({}); }
uint32_t container_crc() { return flash_crc(test::read_file(test::container_file())); }

std::string read_text(const fs::path& p) {
    const std::vector<uint8_t> bytes = test::read_file(p);
    return {bytes.begin(), bytes.end()};
}

// The local time as the journal writes it: "2026-12-10T13:05:42+03:00".
std::string iso_now() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    ::localtime_r(&now, &t);
    const int off = static_cast<int>(t.tm_gmtoff / 60) % (24 * 60);
    const int abs_off = off < 0 ? -off : off;
    char s[64];
    std::snprintf(s, sizeof s, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, off < 0 ? '-' : '+',
                  abs_off / 60, abs_off % 60);
    return s;
}

CsvRecord header() { return test::read_csv(std::string(kHeader) + "\n", "\n").records.at(0); }

// The image CRC the server printed at start-up, as the journal writes it.
std::string startup_crc(const std::string& transcript) {
    std::smatch m;
    if (!std::regex_search(transcript, m, std::regex(R"(Проверка CRC32 \(0x4c11DB7\): ([0-9A-F]+) \n)"))) {
        return "(none printed)";
    }
    return hex8(static_cast<uint32_t>(std::stoul(m[1].str(), nullptr, 16)));
}

// The server's settings for these tests: the frame trace (each command and failed attempt can
// be counted), replies awaited up to 100 ms, a dialogue given up after 2 s without an answer.
ServerSettings settings(int auto_prog, int auto_jump = 0, std::string extra = {},
                        bool container = true) {
    ServerSettings s;
    s.debug_print = 2;
    s.reply_paced = true;
    s.delay_frames = 100;
    s.delay_write = 100;
    s.auto_jump = auto_jump;
    s.stall_timeout = 2;
    s.auto_prog = auto_prog;
    s.journal = kJournal;
    s.extra = std::move(extra);
    s.container = container;
    return s;
}

// --- the devices ----------------------------------------------------------------------------

enum class Flash { erased, container };
enum class CrcAfter { none, image, wrong };

struct DeviceCase {
    const char* name;
    Flash flash;
    std::vector<std::string> faults;  // qd-devsim options beside device_args' own
    int time_limit_ms;
    const char* decision;
    const char* result;
    CrcAfter crc_after;
    bool crafted = false;       // no qd-devsim: one announcement of 198.18.0.255
    int interval_ms = 600000;   // between its announcements

    bool sent_to() const { return std::string(result) != "ignored"; }
    bool keeps_announcing() const { return interval_ms < time_limit_ms; }
};

const DeviceCase kUpdated{"updated", Flash::erased, {}, kJumps, "update", "updated",
                          CrcAfter::image};
const DeviceCase kSameIgnored{"same_firmware", Flash::container, {}, kQuiet, "same-firmware",
                              "ignored", CrcAfter::none};
const DeviceCase kBadAddress{"bad_address", Flash::erased, {},           0,
                             "bad-address", "ignored",     CrcAfter::none, true};
const DeviceCase kVerifyFailed{"verify_failed", Flash::erased, {"--wrong-crc"}, 15000,
                               "update", "verify-failed", CrcAfter::wrong};
const DeviceCase kStalled{"stalled", Flash::erased, {"--silent", "20:forever"}, 10000,
                          "update", "stalled", CrcAfter::none};
const DeviceCase kJumpUnconfirmed{"jump_unconfirmed", Flash::erased,
                                  {"--mute", "CMD_JUMP_TO_APP"}, 10000,
                                  "update", "jump-unconfirmed", CrcAfter::image};
const DeviceCase kDeviceRefused{"device_refused", Flash::erased, {"--jumper"}, 10000,
                                "update", "device-refused", CrcAfter::none};
const DeviceCase kBadPassword{"bad_password", Flash::erased, {"--password", "DEADBEEF"}, 10000,
                              "update", "bad-password", CrcAfter::none};
const DeviceCase kNotListed{"not_listed", Flash::erased, {}, kQuiet, "not-listed", "ignored",
                            CrcAfter::none};
// Announces itself every 300 ms for 3 s, refused each time.
const DeviceCase kRefusedAgain{"refused",      Flash::erased, {}, 3000, "refused", "ignored",
                               CrcAfter::none, false,         300};
const DeviceCase kRefusedIgnored{"refused", Flash::erased, {}, kQuiet, "refused", "ignored",
                                 CrcAfter::none};
const DeviceCase kSameRefused{"same_firmware_refused", Flash::container, {}, kQuiet, "refused",
                              "ignored", CrcAfter::none};
const DeviceCase kRefusedJumped{"refused_jumped", Flash::erased, {}, kJumps, "refused", "jumped",
                                CrcAfter::none};
const DeviceCase kSameJumped{"same_firmware_jumped", Flash::container, {}, kJumps,
                             "same-firmware", "jumped", CrcAfter::none};
const DeviceCase kNoImage{"no_image", Flash::erased, {}, kQuiet, "no-image", "ignored",
                          CrcAfter::none};

// qd-devsim as device n: its address, serial number and versions, its flash and faults; a device
// to be updated is checked against the container.
std::vector<std::string> device_args(const DeviceCase& d, int n) {
    std::vector<std::string> args{"--address",    ip(n),
                                  "--mac",        serial(n),
                                  "--hw-version", kHw,
                                  "--bl-version", kBl,
                                  "--interval",   std::to_string(d.interval_ms),
                                  "--time-limit", std::to_string(d.time_limit_ms)};
    if (d.flash == Flash::container) args.insert(args.end(), {"--flash", test::container_file()});
    if (std::string(d.decision) == "update") {
        args.insert(args.end(), {"--expect", test::container_file()});
    }
    args.insert(args.end(), d.faults.begin(), d.faults.end());
    return args;
}

// One announcement of device n that claims the subnet's broadcast address as its own.
::testing::AssertionResult send_crafted(Bench& bench, int n) {
    test::UdpSocket so = bench.net().in_device([] { return test::UdpSocket(); });
    if (!so.bind(ip(n), 0)) return ::testing::AssertionFailure() << "cannot bind " << ip(n);
    const test::Bytes frame =
        test::announcement_frame({{198, 18, 0, 255}, mac(n), erased_crc(), 7});
    if (!so.send_to(TestNetwork::kServerIp, UPDATE_PORT, frame)) {
        return ::testing::AssertionFailure() << "cannot send the announcement";
    }
    return ::testing::AssertionSuccess();
}

// A device the server was done with, and what the test saw meanwhile.
struct Served {
    std::unique_ptr<Process> device;  // none for a crafted announcement
    std::string time_from;            // local time before it came, and after the server was done
    std::string time_to;
    int64_t span_ms = 0;              // from before it came to after the server was done
    std::string dialogue;             // the server's console meanwhile
    std::optional<int> status;        // the device's exit status
    std::string console;              // the device's console
};

// Counts how often the server has printed each end of a device, to wait for the next.
class Ends {
public:
    explicit Ends(Bench& bench) : bench_(bench) {}
    bool wait(const std::string& marker, size_t more) {
        total_[marker] += more;
        return bench_.wait_for_count(marker, total_[marker], kSettleMs);
    }

private:
    Bench& bench_;
    std::map<std::string, size_t> total_;
};

void end_device(Served& s, const DeviceCase& d) {
    if (!s.device || s.status) return;
    s.status = s.device->wait_for(d.time_limit_ms + kDeviceEndMs);
    if (!s.status) s.device->stop();
    s.console = s.device->output();
}

// Brings device n and waits until the server is done with it (for one that keeps announcing,
// with each of its announcements).
Served serve(Bench& bench, Ends& ends, const DeviceCase& d, int n, size_t& offset) {
    Served s;
    s.time_from = iso_now();
    const Clock::time_point start = Clock::now();
    if (d.crafted) {
        EXPECT_TRUE(send_crafted(bench, n));
    } else {
        s.device = bench.device(d.name, device_args(d, n));
    }
    size_t announcements = 1;
    if (d.keeps_announcing()) {
        end_device(s, d);
        announcements = DevsimResult(s.console).number("announcements");
        EXPECT_GE(announcements, 5u) << s.console;
    }
    EXPECT_TRUE(ends.wait(d.sent_to() ? Bench::kClosing : kIgnoredEnd, announcements))
        << d.name << ": the server was not done with it\n" << bench.transcript();
    s.time_to = iso_now();
    s.span_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    s.dialogue = bench.transcript_since(offset);
    return s;
}

// --- what a line must hold ------------------------------------------------------------------

struct Counts {
    uint64_t commands = 0;
    uint64_t repeats = 0;
};

// Commands sent, and attempts not accepted, as the frame trace shows them.
Counts console_counts(const std::string& text) {
    Counts c;
    for (const TraceEvent& e : test::trace_events(text)) {
        if (e.kind == TraceEvent::tx) ++c.commands;
        if (e.kind == TraceEvent::no_reply || (e.kind == TraceEvent::report && e.b != 1)) {
            ++c.repeats;
        }
    }
    return c;
}

void expect_time(const std::string& field, const Served& s) {
    const std::regex iso(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
    if (!std::regex_match(field, iso)) {
        ADD_FAILURE() << "not a time: " << field;
        return;
    }
    EXPECT_EQ(field.substr(field.size() - 6), s.time_from.substr(s.time_from.size() - 6))
        << "another UTC offset";
    EXPECT_LE(s.time_from, field) << "a time before the device came";
    EXPECT_LE(field, s.time_to) << "a time after the server was done with the device";
}

std::string expected_crc_after(const DeviceCase& d) {
    switch (d.crc_after) {
        case CrcAfter::none: return "";
        case CrcAfter::image: return hex8(container_crc());
        case CrcAfter::wrong: return hex8(container_crc() ^ 0x00000001);
    }
    return "?";
}

// The device's side: its end, what it received, what it reported.
void expect_device(const Served& s, const DeviceCase& d, const CsvRecord& f) {
    if (!s.device) return;
    const DevsimResult r(s.console);
    ASSERT_TRUE(r.found()) << s.console;
    const bool jumps = std::string(d.result) == "updated" || std::string(d.result) == "jumped";
    EXPECT_EQ(s.status, jumps ? 0 : 3) << s.console;
    EXPECT_EQ(r.jumped(), jumps) << s.console;
    EXPECT_EQ(f[12], std::to_string(r.number("commands") + r.number("dropped_silent")))
        << "commands sent, as the device counts them\n" << s.console;
    if (d.crc_after != CrcAfter::none) {
        EXPECT_EQ(f[8], r.text("reported_crc")) << s.console;
    }
    if (std::string(d.result) == "updated") {
        EXPECT_TRUE(r.flash_ok()) << s.console;
    }
}

void expect_sent(const CsvRecord& f, const Served& s) {
    const Counts c = console_counts(s.dialogue);
    ASSERT_TRUE(std::regex_match(f[11], std::regex(R"(\d{1,18})"))) << f[11];
    EXPECT_GT(std::stoll(f[11]), 0) << "no duration";
    EXPECT_LE(std::stoll(f[11]), s.span_ms) << "longer than the test saw it";
    EXPECT_EQ(f[12], std::to_string(c.commands)) << "commands sent, as the console shows them";
    EXPECT_EQ(f[13], std::to_string(c.repeats)) << "attempts not accepted, as the console shows";
}

// image_crc: what the line must name, or nothing when no image was loaded.
void expect_line(const CsvRecord& f, const DeviceCase& d, int n, const Served& s,
                 const std::optional<std::string>& image_crc) {
    SCOPED_TRACE(d.name);
    ASSERT_EQ(f.size(), kFields);
    expect_time(f[0], s);
    EXPECT_EQ(f[1], serial(n));
    EXPECT_EQ(f[2], d.crafted ? "198.18.0.255" : ip(n));
    EXPECT_EQ(f[3], d.crafted ? "1" : kHw);
    EXPECT_EQ(f[4], d.crafted ? "1" : kBl);
    EXPECT_EQ(f[5], hex8(d.flash == Flash::container ? container_crc() : erased_crc()));
    EXPECT_EQ(f[6], d.decision);
    EXPECT_EQ(f[7], d.result);
    EXPECT_EQ(f[8], expected_crc_after(d));
    EXPECT_EQ(f[9], kImage);
    EXPECT_EQ(f[10], image_crc.value_or("")) << "no image loaded: no image CRC";
    if (d.sent_to()) {
        expect_sent(f, s);
    } else {
        EXPECT_EQ(f[11], "0");
        EXPECT_EQ(f[12], "0");
        EXPECT_EQ(f[13], "0");
    }
    expect_device(s, d, f);
}

// --- 1. every decision and result ------------------------------------------------------------

struct ServerCase {
    const char* name;
    ServerSettings server;
    std::vector<DeviceCase> devices;  // device n (from 1) is the n-th
};

void PrintTo(const ServerCase& c, std::ostream* os) { *os << c.name; }

template <typename Case>
std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// The server runs (and the test reads the time) 5 h 30 min west of UTC, so that the sign and the
// minutes of the offset show.
class Verdicts : public ::testing::TestWithParam<ServerCase> {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ"); tz != nullptr) old_tz_ = tz;
        ::setenv("TZ", "QDT+5:30", 1);
        ::tzset();
    }
    void TearDown() override {
        if (old_tz_) {
            ::setenv("TZ", old_tz_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::optional<std::string> old_tz_;
};

INSTANTIATE_TEST_SUITE_P(
    Table, Verdicts,
    ::testing::Values(
        ServerCase{"AnyDevice",
                   settings(2),
                   {kUpdated, kSameIgnored, kBadAddress, kVerifyFailed, kStalled,
                    kJumpUnconfirmed, kDeviceRefused, kBadPassword}},
        // Device 1 is on the list, device 2 is not.
        ServerCase{"Allowlist", settings(1, 0, "[DEVICE]\nNA=2.81.68.7.0.1\n"),
                   {kUpdated, kNotListed}},
        ServerCase{"NeverUpdate", settings(0), {kRefusedAgain, kSameIgnored}},
        ServerCase{"JumpOnly", settings(0, 1), {kRefusedJumped, kSameJumped}},
        // AutoProg 4-255 refuses even a device that runs the container's firmware.
        ServerCase{"AutoProg7", settings(7), {kRefusedIgnored, kSameRefused}},
        ServerCase{"NoImage", settings(2, 0, "", false), {kNoImage, kSameIgnored}}),
    case_name<ServerCase>);

TEST_P(Verdicts, OneLineForEachDeviceWithItsFields) {
    const ServerCase& c = GetParam();
    Bench bench(static_cast<int>(c.devices.size()), c.server);
    ASSERT_EQ(bench.error(), "");
    // The image's CRC as start-up printed it and as the container's bytes give it.
    std::optional<std::string> image_crc;
    if (c.server.container) {
        image_crc = startup_crc(bench.transcript());
        EXPECT_EQ(*image_crc, hex8(container_crc()));
    }
    Ends ends(bench);
    size_t offset = bench.transcript().size();
    std::vector<Served> served;
    for (size_t i = 0; i < c.devices.size(); ++i) {
        served.push_back(serve(bench, ends, c.devices[i], static_cast<int>(i + 1), offset));
    }
    for (size_t i = 0; i < c.devices.size(); ++i) end_device(served[i], c.devices[i]);

    const test::CsvText csv = test::read_csv(read_text(bench.dir() / kJournal), "\n");
    ASSERT_EQ(csv.error, "");
    ASSERT_EQ(csv.records.size(), c.devices.size() + 1) << "one line for each device";
    EXPECT_EQ(csv.records[0], header());
    for (size_t i = 0; i < c.devices.size(); ++i) {
        expect_line(csv.records[i + 1], c.devices[i], static_cast<int>(i + 1), served[i],
                    image_crc);
    }
    const std::string text = bench.transcript();
    EXPECT_EQ(count(text, kNotOpened), 0u);
    EXPECT_EQ(count(text, kWriteFailed), 0u);
}

// --- 1b. an image that is not the container's ------------------------------------------------

// A container cut short or damaged under its CRC name leaves no image loaded: a board that the
// policy would update gets nothing, and its line says `no-image`, in both engines.
struct RefusedImageCase {
    const char* name;
    int parallel;
    bool cut;  // else one byte damaged
    const char* line;
};

void PrintTo(const RefusedImageCase& c, std::ostream* os) { *os << c.name; }

class RefusedImage : public ::testing::TestWithParam<RefusedImageCase> {};

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedImage,
    ::testing::Values(
        RefusedImageCase{"CutOneAtATime", 0, true,
                         "Размер файла меньше 122880 byte, файл не загружен\n"},
        RefusedImageCase{"CutParallel", 2, true,
                         "Размер файла меньше 122880 byte, файл не загружен\n"},
        RefusedImageCase{"DamagedOneAtATime", 0, false,
                         "CRC32 образа не совпадает с именем файла, файл не загружен\n"},
        RefusedImageCase{"DamagedParallel", 2, false,
                         "CRC32 образа не совпадает с именем файла, файл не загружен\n"}),
    case_name<RefusedImageCase>);

TEST_P(RefusedImage, NoBoardIsFlashedAndTheLineSaysNoImage) {
    const RefusedImageCase& c = GetParam();
    std::vector<uint8_t> bytes = test::read_file(test::container_file());
    if (c.cut) {
        bytes.resize(65536);
    } else {
        bytes[1000] ^= 0x80;
    }
    ServerSettings s = settings(2);
    s.parallel = c.parallel;
    s.container_bytes = bytes;
    Bench bench(1, s);
    ASSERT_EQ(bench.error(), "");
    EXPECT_EQ(count(bench.transcript(), c.line), 1u) << bench.transcript();
    Ends ends(bench);
    size_t offset = bench.transcript().size();
    Served served = serve(bench, ends, kNoImage, 1, offset);
    end_device(served, kNoImage);
    EXPECT_NE(served.dialogue.find("Образ ПО не загружен, обновление невозможно!"),
              std::string::npos)
        << served.dialogue;
    const test::CsvText csv = test::read_csv(read_text(bench.dir() / kJournal), "\n");
    ASSERT_EQ(csv.error, "");
    ASSERT_EQ(csv.records.size(), 2u);
    expect_line(csv.records[1], kNoImage, 1, served, std::nullopt);
}

// --- 1c. a board the PC cannot reach ----------------------------------------------------------

// A board that announces an address outside the server's network (10.9.9.2; the server is at
// 198.18.0.1/24 and has no route there) is named at once, given up as unreachable, and journalled
// so; the next board, inside, is updated without a word of it. Both engines.
class Unreachable : public ::testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(Engines, Unreachable, ::testing::Values(0, 2),
                         [](const ::testing::TestParamInfo<int>& engine) {
                             return engine.param == 0 ? std::string("OneAtATime")
                                                      : std::string("Parallel");
                         });

TEST_P(Unreachable, NamedAtOnceGivenUpAsSuchAndTheNextBoardUpdatedWithoutAWord) {
    const int parallel = GetParam();
    ServerSettings s = settings(2);
    s.parallel = parallel;
    Bench bench(2, s);
    ASSERT_EQ(bench.error(), "");
    const std::string lead = parallel > 0 ? "10.9.9.2 " : "";
    const std::string warning = lead + "IP адрес устройства 10.9.9.2 вне сетей адаптеров ПК\n";
    const std::string given_up =
        lead + "Устройство недоступно: адрес 10.9.9.2 вне сетей адаптеров ПК, обмен прерван\n";

    test::UdpSocket so = bench.net().in_device([] { return test::UdpSocket(); });
    ASSERT_TRUE(so.bind(ip(1), 0));
    ASSERT_TRUE(so.send_to(TestNetwork::kServerIp, UPDATE_PORT,
                           test::announcement_frame({{10, 9, 9, 2}, mac(1), erased_crc(), 7})));
    ASSERT_TRUE(bench.wait_for_count(given_up, 1, kSettleMs)) << bench.transcript();
    const std::string first = bench.transcript();
    EXPECT_EQ(count(first, warning), 1u) << first;
    EXPECT_LT(first.find(warning), first.find("CMD_NOP")) << "named before the first command";
    EXPECT_EQ(count(first, "Устройство не отвечает"), 0u) << first;

    size_t offset = first.size();
    std::unique_ptr<Process> dev = bench.device("inside", device_args(kUpdated, 2));
    EXPECT_EQ(dev->wait_for(kDeviceEndMs), 0) << dev->output();
    const std::string done = parallel > 0 ? "Обновление завершено, устройство переведено в приложение"
                                          : Bench::kClosing;
    ASSERT_TRUE(bench.wait_for_count(done, parallel > 0 ? 1u : 2u, kSettleMs))
        << bench.transcript();
    const std::string second = bench.transcript_since(offset);
    EXPECT_EQ(second.find("вне сетей"), std::string::npos) << second;

    const test::CsvText csv = test::read_csv(read_text(bench.dir() / kJournal), "\n");
    ASSERT_EQ(csv.error, "");
    ASSERT_EQ(csv.records.size(), 3u);
    const CsvRecord& f = csv.records[1];
    ASSERT_EQ(f.size(), kFields);
    EXPECT_EQ(f[2], "10.9.9.2");
    EXPECT_EQ(f[6], "update");
    EXPECT_EQ(f[7], "unreachable");
    EXPECT_NE(f[12], "0") << "commands were tried";
    EXPECT_EQ(csv.records[2][7], "updated");
}

// --- 2. the server killed right after a line -------------------------------------------------

// The line is written and synced before the dialogue's closing lines: a server killed once they
// are out leaves it in the file whole.
TEST(JournalKilled, TheLastLineIsInTheFileWhole) {
    Bench bench(1, settings(2));
    ASSERT_EQ(bench.error(), "");
    std::unique_ptr<Process> dev = bench.device("device", device_args(kUpdated, 1));
    ASSERT_TRUE(bench.wait_for_count(Bench::kClosing, 1, kSettleMs)) << bench.transcript();
    ASSERT_EQ(::kill(bench.server().pid(), SIGKILL), 0);
    EXPECT_EQ(bench.server().wait_for(10000), 128 + SIGKILL);
    EXPECT_EQ(dev->wait_for(kDeviceEndMs), 0) << dev->output();

    const std::string bytes = read_text(bench.dir() / kJournal);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.back(), '\n') << bytes;
    const test::CsvText csv = test::read_csv(bytes, "\n");
    ASSERT_EQ(csv.error, "") << bytes;
    ASSERT_EQ(csv.records.size(), 2u) << bytes;
    EXPECT_EQ(csv.records[0], header());
    const CsvRecord& f = csv.records[1];
    ASSERT_EQ(f.size(), kFields) << bytes;
    EXPECT_EQ(f[1], serial(1));
    EXPECT_EQ(f[7], "updated");
    EXPECT_EQ(f[8], hex8(container_crc()));
}

// Ended from outside in the middle of the write, by Ctrl+C or SIGTERM: every board in progress
// has its line, whole, with what was done so far, and the server ends as the signal ends it.
// One at a time and two at once (Parallel=2).
TEST(JournalInterrupted, EveryBoardInProgressHasItsLine) {
    struct Case {
        const char* name;
        int parallel;
        int sig;
        int boards;
    };
    for (const Case& c : {Case{"one at a time, Ctrl+C", 0, SIGINT, 1},
                          Case{"two at once, SIGTERM", 2, SIGTERM, 2}}) {
        SCOPED_TRACE(c.name);
        ServerSettings s = settings(2);
        s.parallel = c.parallel;
        Bench bench(c.boards, s);
        ASSERT_EQ(bench.error(), "");
        // Each block takes its board 20 ms: the write lasts about 10 s.
        std::vector<std::string> args = device_args(kUpdated, 1);
        args.insert(args.end(), {"--reply-time", "20", "--count", std::to_string(c.boards)});
        std::unique_ptr<Process> dev = bench.device("device", args);
        // Some 100 blocks sent to each board.
        const std::string writing = c.parallel > 0 ? "CMD:5; Frame:" : "NPW:100;";
        ASSERT_TRUE(bench.wait_for_count(writing, c.parallel > 0 ? 200u : 1u, kSettleMs))
            << bench.transcript();
        ASSERT_EQ(::kill(bench.server().pid(), c.sig), 0);
        EXPECT_EQ(bench.server().wait_for(10000), 128 + c.sig);
        dev->stop();

        const std::string bytes = read_text(bench.dir() / kJournal);
        const test::CsvText csv = test::read_csv(bytes, "\n");
        ASSERT_EQ(csv.error, "") << bytes;
        ASSERT_EQ(csv.records.size(), static_cast<size_t>(c.boards) + 1) << bytes;
        std::vector<std::string> serials;
        for (size_t i = 1; i < csv.records.size(); ++i) {
            const CsvRecord& f = csv.records[i];
            ASSERT_EQ(f.size(), kFields) << bytes;
            serials.push_back(f[1]);
            EXPECT_EQ(f[6], "update");
            EXPECT_EQ(f[7], "interrupted");
            EXPECT_EQ(f[8], "") << "no flash CRC read";
            EXPECT_GT(std::stoul(f[12]), 50u) << "the commands sent so far";
        }
        std::sort(serials.begin(), serials.end());
        std::vector<std::string> expected;
        for (int n = 1; n <= c.boards; ++n) expected.push_back(serial(n));
        EXPECT_EQ(serials, expected);
    }
}

// Ended from outside while junk arrives on port 5008 faster than the server reads it, so that
// its socket is readable at every wait: the end is acted on all the same, within a second and a
// half, with the line of every board in progress. A sender from a second address of the
// devices' side, bounded in time; the boards are given no stall time to end on meanwhile.
TEST(JournalInterrupted, UnderAStreamOfJunkTheEndComesAtOnce) {
    struct Case {
        const char* name;
        int parallel;
        int sig;
    };
    for (const Case& c : {Case{"one at a time, Ctrl+C", 0, SIGINT},
                          Case{"one at a time, SIGTERM", 0, SIGTERM},
                          Case{"two at once, Ctrl+C", 2, SIGINT},
                          Case{"two at once, SIGTERM", 2, SIGTERM}}) {
        SCOPED_TRACE(c.name);
        const int boards = c.parallel > 0 ? 2 : 1;
        ServerSettings s = settings(2);
        s.parallel = c.parallel;
        s.stall_timeout = 0;
        Bench bench(boards + 1, s);
        ASSERT_EQ(bench.error(), "");
        std::vector<std::string> args = device_args(kUpdated, 1);
        args.insert(args.end(), {"--reply-time", "20", "--count", std::to_string(boards)});
        std::unique_ptr<Process> dev = bench.device("device", args);
        // Some 50 blocks sent to each board.
        const std::string writing = c.parallel > 0 ? "CMD:5; Frame:" : "NPW:50;";
        ASSERT_TRUE(bench.wait_for_count(writing, c.parallel > 0 ? 100u : 1u, kSettleMs))
            << bench.transcript();

        test::JunkStream stream(bench.net(), ip(boards + 1), 7, std::chrono::seconds(8));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const Clock::time_point asked = Clock::now();
        ASSERT_EQ(::kill(bench.server().pid(), c.sig), 0);
        const std::optional<int> status = bench.server().wait_for(6000);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked);
        const uint64_t sent = stream.stop();
        dev->stop();
        EXPECT_GT(sent, 1000u) << "the stream did not flow";
        EXPECT_EQ(status, 128 + c.sig);
        EXPECT_LE(took.count(), 1500) << "from the signal to the end";
        std::printf("[ %s: ended %lld ms after the signal, %llu datagrams sent ]\n", c.name,
                    static_cast<long long>(took.count()),
                    static_cast<unsigned long long>(sent));

        const std::string bytes = read_text(bench.dir() / kJournal);
        const test::CsvText csv = test::read_csv(bytes, "\n");
        ASSERT_EQ(csv.error, "") << bytes;
        ASSERT_EQ(csv.records.size(), static_cast<size_t>(boards) + 1) << bytes;
        for (size_t i = 1; i < csv.records.size(); ++i) {
            ASSERT_EQ(csv.records[i].size(), kFields) << bytes;
            EXPECT_EQ(csv.records[i][7], "interrupted") << bytes;
        }
    }
}

// --- 3. a journal that cannot be opened ------------------------------------------------------

// The start-up line with the path and the system's reason, right before the start line; the
// server runs without a journal and updates a device as usual.
struct UnopenableCase {
    const char* name;
    const char* reason;
    // Makes the journal's case in the test's own folder; the path the configuration names.
    std::string (*arrange)(const fs::path& own, std::optional<test::TestMount>& mount);
};

void PrintTo(const UnopenableCase& c, std::ostream* os) { *os << c.name; }

// A journal in a folder that does not exist, relative to the server's folder.
std::string missing_folder(const fs::path&, std::optional<test::TestMount>&) {
    return "no-such-folder/" + kJournal;
}

// A journal of an earlier run on a read-only mount of the file itself. (File modes would not
// do: the tests run as root.)
std::string read_only_file(const fs::path& own, std::optional<test::TestMount>& mount) {
    const fs::path file = own / kJournal;
    test::write_text(file, std::string(kHeader) + "\n");
    mount.emplace(test::TestMount::read_only(file));
    return file.string();
}

class JournalUnopenable : public ::testing::TestWithParam<UnopenableCase> {};

INSTANTIATE_TEST_SUITE_P(
    Table, JournalUnopenable,
    ::testing::Values(UnopenableCase{"MissingFolder", "No such file or directory", missing_folder},
                      UnopenableCase{"ReadOnlyFile", "Read-only file system", read_only_file}),
    case_name<UnopenableCase>);

TEST_P(JournalUnopenable, SaidBeforeTheStartAndTheDeviceIsUpdated) {
    const UnopenableCase& c = GetParam();
    test::TempWorkDir own;
    std::optional<test::TestMount> mount;
    const std::string path = c.arrange(own.path(), mount);
    ASSERT_TRUE(!mount || mount->error().empty()) << mount->error();
    const std::string before = read_text(own.path() / kJournal);
    ServerSettings s = settings(2);
    s.journal = path;
    Bench bench(1, s);
    ASSERT_EQ(bench.error(), "");
    std::unique_ptr<Process> dev = bench.device("device", device_args(kUpdated, 1));
    EXPECT_TRUE(bench.wait_for_count(Bench::kClosing, 1, kSettleMs)) << bench.transcript();
    EXPECT_EQ(dev->wait_for(kDeviceEndMs), 0) << dev->output();
    EXPECT_TRUE(DevsimResult(dev->output()).flash_ok()) << dev->output();

    const std::string text = bench.transcript();
    EXPECT_NE(text.find(kSep + kNotOpened + path + " не открыт: " + c.reason + "\n" + kStarted),
              std::string::npos)
        << text.substr(0, text.find(kStarted) + kStarted.size());
    EXPECT_EQ(count(text, kNotOpened), 1u);
    EXPECT_EQ(count(text, kWriteFailed), 0u);
    EXPECT_FALSE(fs::exists(bench.dir() / "no-such-folder"));
    EXPECT_EQ(read_text(own.path() / kJournal), before) << "the file changed";
}

// --- 4. the disk full mid-run ----------------------------------------------------------------

// A device's line is about this long; the room left beforehand takes one and a half.
size_t line_size_guess() {
    const std::string rest =
        ",2.81.68.7.0.1,198.18.0.2,3,2,7EF40B2C,update,updated,D718226B,D718226B.upk,D718226B,"
        "1000,488,0\n";
    return iso_now().size() + rest.size();
}

// The tmpfs's room in bytes.
size_t room(const fs::path& dir) {
    struct statvfs st {};
    if (::statvfs(dir.c_str(), &st) != 0) return 0;
    return static_cast<size_t>(st.f_blocks) * st.f_bsize;
}

// A small tmpfs with the journal nearly full: the first device's line fits, the second's does
// not. The failed write is said once and stops the journal (the third device's line is not
// tried); the file holds only whole lines; every device is updated.
TEST(JournalDiskFull, SaidOnceNoHalfLineAndTheUpdatesGoOn) {
    test::TempWorkDir own;
    const fs::path disk = own.path() / "disk";
    const test::TestMount mount = test::TestMount::tmpfs(disk, 8192);
    ASSERT_EQ(mount.error(), "");
    const size_t guess = line_size_guess();
    const std::string header_line = std::string(kHeader) + "\n";
    const size_t earlier = room(disk) - header_line.size() - guess * 3 / 2;
    const std::string before =
        header_line + test::earlier_journal_lines(earlier, "2.81.68.9.9.9", "\n");
    test::write_text(disk / kJournal, before);
    ASSERT_EQ(read_text(disk / kJournal), before) << "the tmpfs took less than its room";

    ServerSettings s = settings(2);
    s.journal = (disk / kJournal).string();
    Bench bench(3, s);
    ASSERT_EQ(bench.error(), "");
    for (int n = 1; n <= 3; ++n) {
        std::unique_ptr<Process> dev = bench.device("device", device_args(kUpdated, n));
        EXPECT_TRUE(bench.wait_for_count(Bench::kClosing, static_cast<size_t>(n), kSettleMs))
            << bench.transcript();
        EXPECT_EQ(dev->wait_for(kDeviceEndMs), 0) << dev->output();
        EXPECT_TRUE(DevsimResult(dev->output()).flash_ok()) << dev->output();
    }
    const std::string text = bench.transcript();
    EXPECT_EQ(count(text, kWriteFailed), 1u);
    EXPECT_EQ(count(text, kWriteFailed + "No space left on device\n"), 1u);

    const std::string after = read_text(disk / kJournal);
    ASSERT_EQ(after.compare(0, before.size(), before), 0) << "the earlier lines changed";
    const test::CsvText csv = test::read_csv(after, "\n");
    ASSERT_EQ(csv.error, "") << after.substr(before.size());
    for (const CsvRecord& r : csv.records) EXPECT_EQ(r.size(), kFields);
    const test::CsvText added = test::read_csv(after.substr(before.size()), "\n");
    ASSERT_EQ(added.records.size(), 1u) << after.substr(before.size());
    EXPECT_EQ(added.records[0].at(1), serial(1));
    EXPECT_EQ(added.records[0].at(7), "updated");
    // The room left took a part of the second device's line, about as long as the first's.
    const size_t left = room(disk) - after.size();
    const size_t first = after.size() - before.size();
    EXPECT_GT(left, 8u);
    EXPECT_LT(left + 8, first);
}

}  // namespace
}  // namespace qd
