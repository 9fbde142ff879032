// Boards that answer and refuse, on the test network, in both engines: a board whose programming
// jumper is set, one whose flash refuses its writes after some blocks, one that refuses the image
// password, beside one that is silent for ever. Each is given up with the line that says why,
// journalled with its cause and never sent to its application; the next board is updated.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/bench.hpp"
#include "support/csv.hpp"
#include "support/devsim_result.hpp"

namespace qd {
namespace {

namespace fs = std::filesystem;
using test::Bench;
using test::DevsimResult;
using test::Process;
using test::TestNetwork;

constexpr int kStallSeconds = 3;
constexpr int kLineMs = 60000;    // the longest wait for the server's give-up line
constexpr int kDeviceMs = 90000;  // ... for a device to end (its own limit is lower)
const std::string kJournal = "journal.csv";

std::string ip(int n) { return TestNetwork::device_ip(n); }

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

struct RefusalCase {
    const char* name;
    int parallel;  // 0: one at a time
    bool paced;
    int debug_print;
    std::vector<std::string> fault;  // the refusing board's qd-devsim options
    std::string line;                // what the server says when it gives the board up
    const char* result;              // the journal's result
    uint64_t passwords;              // CMD_SET_PASS_BIN the board receives
    uint64_t blocks;                 // blocks it writes
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

const std::string kJumper = "Устройство отказывает 3 с: Обновление заблокировано джампером, "
                            "обмен прерван\n";
const std::string kPage = "Устройство отказывает 3 с: Страница не записана, обмен прерван\n";
const std::string kBinPassword = "Устройство не принимает пароль образа: Неправильный пароль при "
                                 "загрузке .bin, обмен прерван\n";
const std::string kSilent = "Устройство не отвечает 3 с, обмен прерван\n";
const std::vector<std::string> kWrongPassword = {"--password", "DEADBEEF"};
const std::vector<std::string> kWritesRefused = {"--refuse", "CMD_WRITE_UP_FLASH:5:forever:100"};

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusal,
    ::testing::Values(
        RefusalCase{"JumperOneAtATime", 0, false, 0, {"--jumper"}, kJumper, "device-refused", 0, 0},
        RefusalCase{"JumperParallel", 2, true, 1, {"--jumper"}, kJumper, "device-refused", 0, 0},
        RefusalCase{"WritesRefusedOneAtATime", 0, true, 1, kWritesRefused, kPage,
                    "device-refused", 1, 100},
        RefusalCase{"WritesRefusedParallel", 2, false, 0, kWritesRefused, kPage, "device-refused",
                    1, 100},
        RefusalCase{"BadPasswordOneAtATimeFixed", 0, false, 0, kWrongPassword, kBinPassword,
                    "bad-password", 3, 0},
        RefusalCase{"BadPasswordOneAtATimePaced", 0, true, 1, kWrongPassword, kBinPassword,
                    "bad-password", 3, 0},
        RefusalCase{"BadPasswordParallelFixed", 2, false, 1, kWrongPassword, kBinPassword,
                    "bad-password", 3, 0},
        RefusalCase{"BadPasswordParallelPaced", 2, true, 0, kWrongPassword, kBinPassword,
                    "bad-password", 3, 0},
        RefusalCase{"SilentParallel", 2, true, 0, {"--silent", "20:forever"}, kSilent, "stalled",
                    1, 13}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

std::vector<std::string> device_args(int n, int time_limit_ms) {
    return {"--address",    ip(n),
            "--mac",        "2.81.68.7.0." + std::to_string(n),
            "--interval",   "600000",
            "--time-limit", std::to_string(time_limit_ms),
            "--expect",     test::container_file()};
}

std::vector<test::CsvRecord> journal_records(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const test::CsvText csv = test::read_csv(text.str(), "\n");
    EXPECT_EQ(csv.error, "");
    return csv.records;
}

// Waits at most timeout_ms until the journal holds `records` records (its header included).
std::vector<test::CsvRecord> wait_for_records(const fs::path& file, size_t records,
                                              int timeout_ms) {
    std::vector<test::CsvRecord> got;
    for (int waited = 0; waited <= timeout_ms; waited += 50) {
        got = journal_records(file);
        if (got.size() >= records) break;
        ::usleep(50000);
    }
    return got;
}

TEST_P(Refusal, GivenUpWithItsCauseAndTheNextBoardUpdated) {
    const RefusalCase& c = GetParam();
    test::ServerSettings s;
    s.debug_print = c.debug_print;
    s.reply_paced = c.paced;
    s.delay_frames = 100;
    s.delay_write = 20;
    s.stall_timeout = kStallSeconds;
    s.parallel = c.parallel;
    s.journal = kJournal;
    Bench bench(2, s);
    ASSERT_EQ(bench.error(), "");
    // The refusing board ends by its time limit, after the server has given it up.
    std::vector<std::string> args = device_args(1, 15000);
    args.insert(args.end(), c.fault.begin(), c.fault.end());
    std::unique_ptr<Process> refusing = bench.device("refusing", args);
    const std::string line = (c.parallel > 0 ? ip(1) + " " : "") + c.line;
    ASSERT_TRUE(bench.wait_for_count(line, 1, kLineMs)) << bench.transcript();
    const std::optional<int> status = refusing->wait_for(kDeviceMs);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 3) << refusing->output();
    const DevsimResult r(refusing->output());
    ASSERT_TRUE(r.found()) << refusing->output();
    EXPECT_FALSE(r.jumped());
    EXPECT_EQ(r.number("cmd_jump_to_app"), 0u);
    EXPECT_EQ(r.number("cmd_set_pass_bin"), c.passwords);
    EXPECT_EQ(r.number("blocks"), c.blocks);

    std::unique_ptr<Process> next = bench.device("next", device_args(2, 60000));
    const std::optional<int> next_status = next->wait_for(kDeviceMs);
    ASSERT_TRUE(next_status.has_value());
    EXPECT_EQ(*next_status, 0) << next->output();
    EXPECT_TRUE(DevsimResult(next->output()).flash_ok()) << next->output();

    const std::vector<test::CsvRecord> records =
        wait_for_records(bench.dir() / kJournal, 3, 10000);
    ASSERT_EQ(records.size(), 3u) << "the header and a line for each board";
    EXPECT_EQ(records[1][7], c.result);
    EXPECT_EQ(records[2][7], "updated");
    const std::string text = bench.transcript();
    EXPECT_EQ(count(text, c.line), 1u) << text;
    if (c.line != kSilent) {
        EXPECT_EQ(count(text, "не отвечает"), 0u) << text;
    }
}

}  // namespace
}  // namespace qd
