// The simulated device's loop in virtual time: announcing at its interval, answering to where
// the command came from, honouring reply delays and faults, and ending after the jump or at its
// time limit; then its summary and exit status.
#include "device/simulator.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "device/bootloader.hpp"
#include "device/program_file.hpp"
#include "device/rack_summary.hpp"
#include "device/summary.hpp"
#include "protocol/bytes.hpp"
#include "protocol/crc.hpp"
#include "support/recording_console.hpp"

namespace qd::device {
namespace {

constexpr Ipv4 kDevice{198, 18, 0, 2};
constexpr Ipv4 kServer{198, 18, 0, 1};
constexpr Ipv4 kBroadcast{198, 18, 0, 255};
constexpr uint16_t kServerTxPort = 40001;  // the port commands leave the server from

class FakeTime : public Stopwatch {
public:
    uint64_t elapsed_ms() override { return now; }
    uint64_t now = 0;
};

struct Sent {
    uint64_t at;
    Bytes bytes;
    Ipv4 to;
    uint16_t port;
};

// Delivers scripted datagrams at their times; a wait with nothing due moves the time on.
class FakeEndpoint : public DatagramEndpoint {
public:
    explicit FakeEndpoint(FakeTime& time) : time_(time) {}

    bool send_to(const std::vector<uint8_t>& bytes, const Ipv4& to, uint16_t port) override {
        sent.push_back(Sent{time_.now, bytes, to, port});
        return true;
    }

    std::optional<Datagram> receive(uint32_t timeout_ms) override {
        ++receives;
        if (!inbox.empty() && inbox.front().first <= time_.now + timeout_ms) {
            time_.now = std::max(time_.now, inbox.front().first);
            Datagram d = inbox.front().second;
            inbox.pop_front();
            return d;
        }
        time_.now += timeout_ms;
        return std::nullopt;
    }

    void arrive(uint64_t at, Bytes bytes, uint16_t from_port = kServerTxPort) {
        inbox.push_back({at, Datagram{std::move(bytes), kServer, from_port}});
    }

    std::vector<Sent> sent;
    std::deque<std::pair<uint64_t, Datagram>> inbox;  // by time
    uint64_t receives = 0;

private:
    FakeTime& time_;
};

Bytes command(uint32_t code, uint32_t my_port = UPDATE_PORT) {
    static uint32_t n_frame = 0;
    from_serv_update_t c{};
    c.vers = FRAME_VERSION;
    c.magic_number = FRAME_MAGIC;
    c.my_port = my_port;
    c.n_frame = n_frame++;
    c.cmd = code;
    seal(c);
    Bytes b(sizeof c);
    to_wire(c, b.data());
    return b;
}

bool is_announcement(const Sent& s) { return s.bytes.size() == sizeof(from_dev_bcst_t); }

from_dev_update_t reply_of(const Sent& s) {
    from_dev_update_t r{};
    from_wire(s.bytes.data(), r);
    return r;
}

bool intact(const Bytes& b) { return sealed(b.data(), static_cast<uint32_t>(b.size() - 4)); }

DeviceConfig config() {
    DeviceConfig c;
    c.mac = {0, 128, 225, 1, 2, 255};
    c.ip = kDevice;
    c.bin_password = 0x1A2B3C4D;
    return c;
}

class Loop : public ::testing::Test {
protected:
    Ending run(Faults faults = {}) {
        dev.set_faults(faults);
        Simulator sim(dev, net, time, con, settings);
        const Ending e = sim.run();
        stats = sim.stats();
        return e;
    }

    std::vector<Sent> announcements() const {
        std::vector<Sent> a;
        std::copy_if(net.sent.begin(), net.sent.end(), std::back_inserter(a), is_announcement);
        return a;
    }

    std::vector<Sent> replies() const {
        std::vector<Sent> r;
        std::copy_if(net.sent.begin(), net.sent.end(), std::back_inserter(r),
                     [](const Sent& s) { return !is_announcement(s); });
        return r;
    }

    std::vector<uint64_t> announced_at() const {
        std::vector<uint64_t> t;
        for (const Sent& s : announcements()) t.push_back(s.at);
        return t;
    }

    FakeTime time;
    FakeEndpoint net{time};
    RecordingConsole con;
    Bootloader dev{config()};
    RunSettings settings{kBroadcast, 300, 0, 1000};
    RunStats stats;
};

TEST_F(Loop, AnnouncesAtItsIntervalUntilTheTimeLimit) {
    EXPECT_EQ(run(), Ending::time_limit);
    EXPECT_EQ(time.now, 1000u);
    EXPECT_EQ(announced_at(), (std::vector<uint64_t>{0, 300, 600, 900}));
    uint32_t n = 0;
    for (const Sent& s : net.sent) {
        ASSERT_TRUE(is_announcement(s));
        EXPECT_EQ(s.to, kBroadcast);
        EXPECT_EQ(s.port, UPDATE_PORT);
        EXPECT_TRUE(intact(s.bytes));
        from_dev_bcst_t b{};
        from_wire(s.bytes.data(), b);
        EXPECT_EQ(b.n_frame, n++);
        EXPECT_EQ(b.crc_uflash, dev.flash_crc());
        EXPECT_EQ(Ipv4(std::to_array(b.my_ip)), kDevice);
    }
    EXPECT_EQ(stats.announcements, 4u);
    EXPECT_EQ(con.text(), "");
    EXPECT_LT(net.receives, 20u) << "waits are not cut short";
}

// Ends when the jump is answered, or that much later; announcing stops at the jump, also when
// the device stays on for longer than its interval and its longest wait.
TEST_F(Loop, EndsAfterTheJumpIsAnswered) {
    for (const uint32_t after : {0u, 200u, 1200u}) {
        SCOPED_TRACE(after);
        FakeTime t;
        FakeEndpoint n{t};
        Bootloader d{config()};
        n.arrive(450, command(CMD_JUMP_TO_APP));
        RecordingConsole c;
        Simulator sim(d, n, t, c, RunSettings{kBroadcast, 300, after, 5000});
        EXPECT_EQ(sim.run(), Ending::jumped);
        EXPECT_EQ(t.now, 450 + after);
        std::vector<uint64_t> announced_at;
        for (const Sent& s : n.sent) {
            if (is_announcement(s)) announced_at.push_back(s.at);
        }
        EXPECT_EQ(announced_at, (std::vector<uint64_t>{0, 300})) << "announced after the jump";
        ASSERT_EQ(n.sent.size(), 3u);
        EXPECT_EQ(n.sent[1].at, 300u);
        EXPECT_EQ(n.sent[2].at, 450u);
        EXPECT_EQ(n.sent[2].to, kServer);
        EXPECT_EQ(n.sent[2].port, UPDATE_PORT) << "to the command's my_port, not its source port";
        EXPECT_EQ(reply_of(n.sent[2]).get_cmd, CMD_JUMP_TO_APP);
        EXPECT_EQ(reply_of(n.sent[2]).get_result, RES_OK);
        EXPECT_EQ(c.text(), "Ответ на CMD_JUMP_TO_APP отправлен, объявления прекращены.\n");
    }
}

TEST_F(Loop, AnswersLateByTheReplyTimeAndToThePortTheCommandNames) {
    net.arrive(100, command(CMD_NOP, 6000));
    net.arrive(110, command(CMD_GET_CONFIG));
    Faults f;
    f.delay_ms = 40;
    EXPECT_EQ(run(f), Ending::time_limit);
    const std::vector<Sent> r = replies();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].at, 140u);
    EXPECT_EQ(r[0].port, 6000u);
    EXPECT_EQ(reply_of(r[0]).get_cmd, CMD_NOP);
    EXPECT_EQ(r[1].at, 150u);
    EXPECT_EQ(r[1].port, UPDATE_PORT);
    EXPECT_EQ(reply_of(r[1]).get_cmd, CMD_GET_CONFIG);
}

TEST_F(Loop, IgnoresWhatIsNoValidCommand) {
    Bytes broken = command(CMD_NOP);
    broken[20] ^= 1;
    net.arrive(10, broken);
    net.arrive(20, Bytes(10, 0x55));
    net.arrive(30, Bytes(180, 0));
    EXPECT_EQ(run(), Ending::time_limit);
    EXPECT_TRUE(replies().empty());
    EXPECT_EQ(dev.invalid_datagrams(), 3u);
    EXPECT_EQ(stats.replies_lost, 0u);
}

struct FaultCase {
    const char* name;
    Faults faults;
    size_t replies;  // sent for the two jump commands
    uint64_t lost;
    uint64_t damaged;
    Ending ending;
    uint64_t ended_at;
    uint64_t last_announcement;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

Faults lose(std::set<uint64_t> n) {
    Faults f;
    f.lose = std::move(n);
    return f;
}

Faults damage(std::set<uint64_t> n) {
    Faults f;
    f.damage = std::move(n);
    return f;
}

Faults duplicate() {
    Faults f;
    f.duplicate = true;
    return f;
}

Faults mute(uint32_t code) {
    Faults f;
    f.mute = {code};
    return f;
}

class Faulty : public Loop, public ::testing::WithParamInterface<FaultCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, Faulty,
    ::testing::Values(FaultCase{"None", {}, 1, 0, 0, Ending::jumped, 450, 300},
                      FaultCase{"FirstLost", lose({1}), 1, 1, 0, Ending::jumped, 700, 600},
                      FaultCase{"FirstDamaged", damage({1}), 2, 0, 1, Ending::jumped, 700, 600},
                      FaultCase{"BothLost", lose({1, 2}), 0, 2, 0, Ending::time_limit, 1000, 900},
                      FaultCase{"Duplicated", duplicate(), 2, 0, 0, Ending::jumped, 450, 300},
                      // Never answered, and not lost either: the replies were never due.
                      FaultCase{"JumpMuted", mute(CMD_JUMP_TO_APP), 0, 0, 0, Ending::time_limit,
                                1000, 900}),
    [](const auto& c) { return std::string(c.param.name); });

// Only an intact reply accepting the jump ends the device; until then it announces on.
TEST_P(Faulty, JumpRepeatedAfterALostOrDamagedReply) {
    const FaultCase& c = GetParam();
    net.arrive(450, command(CMD_JUMP_TO_APP));
    net.arrive(700, command(CMD_JUMP_TO_APP));
    EXPECT_EQ(run(c.faults), c.ending);
    EXPECT_EQ(time.now, c.ended_at);
    EXPECT_EQ(replies().size(), c.replies);
    EXPECT_EQ(stats.replies_sent, c.replies);
    EXPECT_EQ(stats.replies_lost, c.lost);
    EXPECT_EQ(stats.replies_damaged, c.damaged);
    EXPECT_EQ(announcements().back().at, c.last_announcement);
    if (c.damaged != 0) {
        EXPECT_FALSE(intact(replies().front().bytes));
    }
    EXPECT_EQ(dev.commands_received(CMD_JUMP_TO_APP), c.ended_at < 700 ? 1u : 2u);
    EXPECT_EQ(dev.jumped(), c.faults.mute.empty()) << "the model jumps unless muted";
}

// The four shares at 3 % each on one board, over many commands: the loop counts each kind
// apart, and its counts add up to what went out.
TEST_F(Loop, FourSharesCombineAndAreCountedApart) {
    constexpr uint64_t N = 3000;
    settings.time_limit_ms = N + 100;
    settings.interval_ms = 100000;
    for (uint64_t n = 1; n <= N; ++n) net.arrive(n, command(CMD_NOP));
    EXPECT_EQ(run(Faults{.seed = 3,
                         .loss_probability = 0.03,
                         .damage_probability = 0.03,
                         .refuse_probability = 0.03,
                         .duplicate_probability = 0.03}),
              Ending::time_limit);
    const std::vector<Sent> r = replies();
    const auto broken = static_cast<uint64_t>(
        std::count_if(r.begin(), r.end(), [](const Sent& x) { return !intact(x.bytes); }));
    const auto refusals_seen =
        static_cast<uint64_t>(std::count_if(r.begin(), r.end(), [](const Sent& x) {
            return intact(x.bytes) && reply_of(x).get_result == RES_GENERAL_ERROR;
        }));
    EXPECT_EQ(dev.valid_commands(), N);
    EXPECT_EQ(stats.replies_sent, r.size());
    EXPECT_EQ(stats.replies_sent, N - stats.replies_lost + stats.replies_duplicated);
    EXPECT_GE(broken, stats.replies_damaged);
    EXPECT_LE(broken, 2 * stats.replies_damaged) << "only a damaged reply's twin is damaged too";
    EXPECT_LE(refusals_seen, 2 * dev.commands_refused());
    for (const uint64_t happened : {stats.replies_lost, stats.replies_damaged,
                                    stats.replies_duplicated, dev.commands_refused()}) {
        EXPECT_GT(happened, N / 70);  // 3 % is 90
        EXPECT_LT(happened, N / 20);
    }
}

// Silent from the third valid command for 500 ms: what comes then is dropped without being
// counted as a command, nothing is answered or announced; afterwards it answers and announces
// again. Invalid datagrams before do not count towards the command number.
TEST_F(Loop, SilentFromACommandForATime) {
    settings.silence = Silence{3, 500};
    net.arrive(10, command(CMD_NOP));
    net.arrive(20, Bytes(12, 0));  // not a command
    net.arrive(30, command(CMD_ACTIVATE_BL));
    net.arrive(100, command(CMD_GET_CONFIG));   // third: the silence begins, until 600
    net.arrive(400, command(CMD_GET_CONFIG));   // dropped
    net.arrive(599, Bytes(180, 1));             // dropped too, not counted as invalid
    net.arrive(600, command(CMD_GET_CONFIG));   // answered
    net.arrive(700, command(CMD_UNBLOCK_FLASH));
    EXPECT_EQ(run(), Ending::time_limit);
    std::vector<uint32_t> answered;
    for (const Sent& r : replies()) answered.push_back(reply_of(r).get_cmd);
    EXPECT_EQ(answered, (std::vector<uint32_t>{CMD_NOP, CMD_ACTIVATE_BL, CMD_GET_CONFIG,
                                               CMD_UNBLOCK_FLASH}));
    EXPECT_EQ(replies()[2].at, 600u);
    EXPECT_EQ(dev.commands_received(CMD_GET_CONFIG), 1u);
    EXPECT_EQ(dev.invalid_datagrams(), 1u);
    EXPECT_EQ(stats.dropped_while_silent, 3u);
    EXPECT_EQ(stats.replies_lost, 0u);
    EXPECT_EQ(announced_at(), (std::vector<uint64_t>{0, 600, 900})) << "none while silent";
}

struct SilenceCase {
    const char* name;
    Silence silence;
    std::vector<uint32_t> answered;
    uint64_t dropped;
    std::vector<uint64_t> announced_at;
    Ending ending;
    uint64_t ended_at;
};

void PrintTo(const SilenceCase& c, std::ostream* os) { *os << c.name; }

class Silences : public Loop, public ::testing::WithParamInterface<SilenceCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, Silences,
    ::testing::Values(
        SilenceCase{"ForATime", Silence{2, 3000}, {CMD_NOP, CMD_JUMP_TO_APP}, 2, {0, 3100},
                    Ending::jumped, 4040},
        // Nothing brings it back, not even the jump: its time limit ends it.
        SilenceCase{"ForEver", Silence{2, 0, true}, {CMD_NOP}, 4, {0}, Ending::time_limit, 20000}),
    [](const auto& c) { return std::string(c.param.name); });

// From the second command on: silent for 3 s, or for ever. A reply due from before the silence
// still goes out, and the wait for the time limit does not spin.
TEST_P(Silences, EndAfterTheirTimeOrNever) {
    const SilenceCase& c = GetParam();
    settings = RunSettings{kBroadcast, 1500, 0, 20000, c.silence};
    net.arrive(90, command(CMD_NOP));             // answered at 130, in the silence
    net.arrive(100, command(CMD_GET_CONFIG));     // second: the silence begins
    net.arrive(2000, command(CMD_NOP));           // dropped
    net.arrive(4000, command(CMD_JUMP_TO_APP));   // after a silence of 3 s
    net.arrive(19000, command(CMD_NOP));
    Faults f;
    f.delay_ms = 40;
    EXPECT_EQ(run(f), c.ending);
    EXPECT_EQ(time.now, c.ended_at);
    std::vector<uint32_t> answered;
    for (const Sent& r : replies()) answered.push_back(reply_of(r).get_cmd);
    EXPECT_EQ(answered, c.answered);
    EXPECT_EQ(replies().front().at, 130u);
    EXPECT_EQ(stats.dropped_while_silent, c.dropped);
    EXPECT_EQ(dev.valid_commands(), c.answered.size());
    EXPECT_EQ(announced_at(), c.announced_at);
    EXPECT_LT(net.receives, 40u) << "waits are not cut short";
}

TEST_F(Loop, NeverSilentWithoutASilence) {
    for (int n = 0; n < 5; ++n) net.arrive(10 + static_cast<uint64_t>(n), command(CMD_NOP));
    EXPECT_EQ(run(), Ending::time_limit);
    EXPECT_EQ(replies().size(), 5u);
    EXPECT_EQ(stats.dropped_while_silent, 0u);
}

// --- summary and exit status ----------------------------------------------------------------

std::string hex8(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

TEST(Summary, TellsCommandsTrafficFlashAndVerdict) {
    Bootloader dev{config()};
    for (const uint32_t code : {0u, 0u, 9u, 8u, 7u}) {
        const Bytes c = command(code);
        dev.handle(c.data(), c.size());
    }
    dev.handle(nullptr, 0);
    const Summary s{"198.18.0.2", Ending::jumped, RunStats{3, 5, 1, 2, 0},
                    Expectation{"x.upk", Bytes(IMAGE_SIZE, 0xFF)}};
    RecordingConsole con;
    say_summary(con, dev, s);
    char crc[16];
    std::snprintf(crc, sizeof crc, "%X", dev.flash_crc());
    const std::string sep(56, '-');
    EXPECT_EQ(con.text(), sep + "\n" +
                              "qd-devsim 198.18.0.2: итог\n"
                              "Получено команд:\n"
                              "  CMD_NOP              2\n"
                              "  CMD_ACTIVATE_BL      0\n"
                              "  CMD_GET_CONFIG       1\n"
                              "  CMD_UNBLOCK_FLASH    0\n"
                              "  CMD_ERASE_UP_FLASH   0\n"
                              "  CMD_SET_PASS_BIN     0\n"
                              "  CMD_WRITE_UP_FLASH   0\n"
                              "  CMD_GETCRC_FLASH     0\n"
                              "  CMD_JUMP_TO_APP      1\n"
                              "  код 8                1\n"
                              "Недействительных датаграмм: 1\n"
                              "Объявлений отправлено: 3\n"
                              "Ответов отправлено: 5; потеряно: 1; повреждено: 2\n"
                              "Записано блоков: 0\n"
                              "CRC32 FLASH UP1: 0h" +
                              crc +
                              "\n"
                              "Переход на приложение: выполнен\n"
                              "FLASH UP1 и x.upk: совпадают\n" +
                              sep + "\n" +
                              "result: jumped=1 flash_ok=1 commands=5 invalid=1 cmd_nop=2 "
                              "cmd_activate_bl=0 cmd_get_config=1 cmd_unblock_flash=0 "
                              "cmd_erase_up_flash=0 cmd_set_pass_bin=0 cmd_write_up_flash=0 "
                              "cmd_getcrc_flash=0 cmd_jump_to_app=1 cmd_other=1 blocks=0 crc=" +
                              hex8(dev.flash_crc()) + " reported_crc=" + hex8(dev.flash_crc()) +
                              " announcements=3 replies=5 lost=1 damaged=2 refused=0 "
                              "duplicated=0 muted=0 dropped_silent=0 send_failures=0\n");
}

// Refusals, duplicates and a silence are told only when they happened.
TEST(Summary, TellsDeliberateFaultsOnlyWhenTheyHappened) {
    const auto faults_lines = [](uint64_t refusals, uint64_t duplicated, uint64_t dropped,
                                 uint64_t muted) {
        Bootloader dev{config()};
        dev.refuse(CMD_NOP, RES_GENERAL_ERROR, 10);
        Faults f;
        f.mute = {CMD_JUMP_TO_APP};
        dev.set_faults(f);
        for (uint64_t n = 0; n < refusals + muted; ++n) {
            const Bytes c = command(n < refusals ? CMD_NOP : CMD_JUMP_TO_APP);
            dev.handle(c.data(), c.size());
        }
        RunStats st{};
        st.replies_duplicated = duplicated;
        st.dropped_while_silent = dropped;
        RecordingConsole con;
        say_summary(con, dev, Summary{"198.18.0.2", Ending::jumped, st, std::nullopt});
        const std::string& t = con.text();
        const std::string after = "повреждено: 0\n";
        const size_t at = t.find(after);
        const size_t to = t.find("Записано блоков");
        if (at == std::string::npos || to == std::string::npos) return std::string("<cut>");
        return t.substr(at + after.size(), to - at - after.size());
    };
    EXPECT_EQ(faults_lines(0, 0, 0, 0), "");
    EXPECT_EQ(faults_lines(2, 0, 0, 0), "Команд отвергнуто: 2; ответов продублировано: 0\n");
    EXPECT_EQ(faults_lines(0, 3, 0, 0), "Команд отвергнуто: 0; ответов продублировано: 3\n");
    EXPECT_EQ(faults_lines(1, 1, 40, 0), "Команд отвергнуто: 1; ответов продублировано: 1\n"
                                         "Отброшено датаграмм в молчании: 40\n");
    EXPECT_EQ(faults_lines(0, 0, 7, 0), "Отброшено датаграмм в молчании: 7\n");
    EXPECT_EQ(faults_lines(0, 0, 0, 2), "Команд без ответа (--mute): 2\n");
    EXPECT_EQ(faults_lines(1, 0, 3, 1), "Команд отвергнуто: 1; ответов продублировано: 0\n"
                                        "Отброшено датаграмм в молчании: 3\n"
                                        "Команд без ответа (--mute): 1\n");
}

// At most twenty differing blocks are named, then "...".
TEST(Summary, NamesTheFirstTwentyDifferingBlocks) {
    Bootloader dev{config()};
    Bytes expected = dev.flash();
    for (uint32_t block = 3; block < 480; block += 20) expected[block * WRITE_BLOCK_SIZE + 9] = 0;
    RecordingConsole con;
    say_summary(con, dev,
                Summary{"198.18.0.2", Ending::jumped, {}, Expectation{"e.upk", expected}});
    EXPECT_NE(con.text().find("Блоки, отличные от e.upk: 3 23 43 63 83 103 123 143 163 183 203 "
                              "223 243 263 283 303 323 343 363 383 ...\n"),
              std::string::npos)
        << con.text();
}

struct VerdictCase {
    const char* name;
    Ending ending;
    bool expect;
    bool equal;  // the expected image is the device's flash
    int status;
    const char* verdict_lines;
    const char* verdict_keys;  // how the result line begins
};

void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name; }

class Verdict : public ::testing::TestWithParam<VerdictCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, Verdict,
    ::testing::Values(
        VerdictCase{"JumpedNoExpectation", Ending::jumped, false, false, 0,
                    "Переход на приложение: выполнен\n", "jumped=1 flash_ok=none"},
        VerdictCase{"JumpedFlashEqual", Ending::jumped, true, true, 0,
                    "Переход на приложение: выполнен\nFLASH UP1 и e.upk: совпадают\n",
                    "jumped=1 flash_ok=1"},
        VerdictCase{"JumpedFlashDiffers", Ending::jumped, true, false, 1,
                    "Переход на приложение: выполнен\nFLASH UP1 и e.upk: НЕ совпадают\n"
                    "Блоки, отличные от e.upk: 0 479\n",
                    "jumped=1 flash_ok=0"},
        VerdictCase{"TimeLimitFlashEqual", Ending::time_limit, true, true, 3,
                    "Переход на приложение: НЕ выполнен, время истекло\n"
                    "FLASH UP1 и e.upk: совпадают\n",
                    "jumped=0 flash_ok=1"},
        VerdictCase{"TimeLimitFlashDiffers", Ending::time_limit, true, false, 3,
                    "Переход на приложение: НЕ выполнен, время истекло\n"
                    "FLASH UP1 и e.upk: НЕ совпадают\nБлоки, отличные от e.upk: 0 479\n",
                    "jumped=0 flash_ok=0"},
        VerdictCase{"TimeLimitNoExpectation", Ending::time_limit, false, false, 3,
                    "Переход на приложение: НЕ выполнен, время истекло\n",
                    "jumped=0 flash_ok=none"}),
    [](const auto& c) { return std::string(c.param.name); });

TEST_P(Verdict, ExitStatusAndItsLines) {
    const VerdictCase& c = GetParam();
    DeviceConfig cfg = config();
    cfg.flash = Bytes(1000, 0x42);
    Bootloader dev{cfg};
    Bytes expected = dev.flash();
    if (!c.equal) {
        expected[0] = 0x00;
        expected[IMAGE_SIZE - 1] = 0x00;
    }
    Summary s{"198.18.0.2", c.ending, {}, std::nullopt};
    if (c.expect) s.expected = Expectation{"e.upk", expected};
    RecordingConsole con;
    say_summary(con, dev, s);
    EXPECT_EQ(exit_status(dev, s), c.status);
    const std::string& text = con.text();
    const size_t from = text.find("Переход");
    ASSERT_NE(from, std::string::npos);
    const std::string crc = hex8(dev.flash_crc());
    EXPECT_EQ(text.substr(from),
              std::string(c.verdict_lines) + std::string(56, '-') + "\nresult: " +
                  c.verdict_keys +
                  " commands=0 invalid=0 cmd_nop=0 cmd_activate_bl=0 cmd_get_config=0 "
                  "cmd_unblock_flash=0 cmd_erase_up_flash=0 cmd_set_pass_bin=0 "
                  "cmd_write_up_flash=0 cmd_getcrc_flash=0 cmd_jump_to_app=0 cmd_other=0 "
                  "blocks=0 crc=" +
                  crc + " reported_crc=" + crc +
                  " announcements=0 replies=0 lost=0 damaged=0 refused=0 duplicated=0 muted=0 "
                  "dropped_silent=0 send_failures=0\n");
}

// --- the result line -------------------------------------------------------------------------

const std::vector<std::string> kResultKeys{
    "jumped", "flash_ok", "commands", "invalid",
    // per command code
    "cmd_nop", "cmd_activate_bl", "cmd_get_config", "cmd_unblock_flash", "cmd_erase_up_flash",
    "cmd_set_pass_bin", "cmd_write_up_flash", "cmd_getcrc_flash", "cmd_jump_to_app", "cmd_other",
    // the flash
    "blocks", "crc", "reported_crc",
    // traffic and faults
    "announcements", "replies", "lost", "damaged", "refused", "duplicated", "muted",
    "dropped_silent", "send_failures"};

// The pairs of the summary's last line, in their order; empty when it is no result line.
std::vector<std::pair<std::string, std::string>> result_pairs(const std::string& text) {
    const size_t at = text.rfind("\nresult: ");
    if (at == std::string::npos || text.back() != '\n') return {};
    const std::string line = text.substr(at + 9, text.size() - at - 10);
    if (line.find('\n') != std::string::npos) return {};
    std::vector<std::pair<std::string, std::string>> pairs;
    for (size_t from = 0; from < line.size();) {
        const size_t end = std::min(line.find(' ', from), line.size());
        const std::string pair = line.substr(from, end - from);
        const size_t eq = pair.find('=');
        if (eq == std::string::npos) return {};
        pairs.emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
        from = end + 1;
    }
    return pairs;
}

struct ResultCase {
    const char* name;
    Faults faults;
    std::vector<uint32_t> commands;
    RunStats stats;
    std::map<std::string, std::string> expected;  // the pairs a case is about
};

void PrintTo(const ResultCase& c, std::ostream* os) { *os << c.name; }

class ResultLine : public ::testing::TestWithParam<ResultCase> {};

ResultCase result_case(const char* name, std::vector<uint32_t> commands,
                       std::map<std::string, std::string> expected, Faults f = {},
                       RunStats st = {}) {
    return ResultCase{name, std::move(f), std::move(commands), st, std::move(expected)};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResultLine,
    ::testing::Values(
        result_case("Quiet", {}, {{"commands", "0"}, {"cmd_jump_to_app", "0"}, {"muted", "0"}}),
        result_case("WrongCrc", {CMD_GETCRC_FLASH, CMD_GETCRC_FLASH},
                    {{"commands", "2"}, {"cmd_getcrc_flash", "2"}},
                    Faults{.wrong_flash_crc = true}),
        result_case("MutedJump", {CMD_JUMP_TO_APP, CMD_NOP, CMD_JUMP_TO_APP},
                    {{"commands", "3"}, {"cmd_nop", "1"}, {"cmd_jump_to_app", "2"}, {"muted", "2"},
                     {"replies", "0"}},
                    Faults{.mute = {CMD_JUMP_TO_APP}}),
        result_case("OtherCodes", {8, CMD_UNBLOCK_FLASH, 10, 256, CMD_ERASE_UP_FLASH},
                    {{"commands", "5"}, {"cmd_unblock_flash", "1"}, {"cmd_erase_up_flash", "1"},
                     {"cmd_other", "3"}}),
        result_case("Refused", {CMD_NOP, CMD_NOP, CMD_GET_CONFIG},
                    {{"cmd_nop", "2"}, {"cmd_get_config", "1"}, {"refused", "3"}},
                    Faults{.refuse_probability = 1.0}),
        result_case("Traffic", {},
                    {{"announcements", "4"}, {"replies", "7"}, {"lost", "1"}, {"damaged", "2"},
                     {"send_failures", "3"}, {"duplicated", "5"}, {"dropped_silent", "6"}},
                    Faults{}, RunStats{4, 7, 1, 2, 3, 5, 6})),
    [](const auto& c) { return std::string(c.param.name); });

// The very last line, ASCII, every key once in its order; the flash's CRC-32 and the one that
// CMD_GETCRC_FLASH reports, as 8 hex digits; the counts of what the case did.
TEST_P(ResultLine, IsTheLastLineWithEveryKeyInItsOrder) {
    const ResultCase& c = GetParam();
    DeviceConfig cfg = config();
    cfg.flash = Bytes(3000, 0x5A);
    Bootloader dev{cfg};
    dev.set_faults(c.faults);
    for (const uint32_t code : c.commands) {
        const Bytes b = command(code);
        dev.handle(b.data(), b.size());
    }
    RecordingConsole con;
    const Summary s{"198.18.0.2", Ending::time_limit, c.stats, std::nullopt};
    say_summary(con, dev, s);
    const std::string& text = con.text();
    const size_t at = text.rfind("\nresult: ");
    ASSERT_NE(at, std::string::npos) << text;
    const std::string last = text.substr(at + 1);
    EXPECT_TRUE(std::all_of(last.begin(), last.end(), [](char ch) { return ch > 0 && ch < 0x7F; }))
        << "not ASCII: " << last;
    EXPECT_EQ(last, result_line(dev, s) + "\n");
    EXPECT_EQ(text.substr(at - 56, 57), std::string(56, '-') + "\n") << "not after the separator";

    const auto pairs = result_pairs(text);
    std::vector<std::string> keys;
    std::map<std::string, std::string> got;
    for (const auto& [k, v] : pairs) {
        keys.push_back(k);
        got[k] = v;
    }
    EXPECT_EQ(keys, kResultKeys) << text;
    const uint32_t crc = fullcalk_crc32(dev.flash().data(), IMAGE_SIZE, CRC32_POLY);
    EXPECT_EQ(got["crc"], hex8(crc));
    EXPECT_EQ(got["reported_crc"], hex8(c.faults.wrong_flash_crc ? crc ^ 1u : crc));
    EXPECT_EQ(got["jumped"], "0");
    EXPECT_EQ(got["flash_ok"], "none");
    for (const auto& [k, v] : c.expected) EXPECT_EQ(got[k], v) << k;
}

// The wrong CRC is also told in Russian, beside the real one.
TEST(Summary, TellsAWrongCrcBesideTheRealOne) {
    for (const bool wrong : {false, true}) {
        Bootloader dev{config()};
        dev.set_faults(Faults{.wrong_flash_crc = wrong});
        RecordingConsole con;
        say_summary(con, dev, Summary{"198.18.0.2", Ending::jumped, {}, std::nullopt});
        char lines[160];
        std::snprintf(lines, sizeof lines,
                      "CRC32 FLASH UP1: 0h%X\nCRC32 в ответах на CMD_GETCRC_FLASH: 0h%X "
                      "(--wrong-crc)\nПереход",
                      dev.flash_crc(), dev.flash_crc() ^ 1u);
        EXPECT_EQ(con.text().find(lines) != std::string::npos, wrong) << con.text();
    }
}

// --- a rack of devices in one loop ---------------------------------------------------------

struct RackSent {
    size_t socket;
    Sent sent;
};

// Several sockets in virtual time: each has its scripted arrivals, the earliest of all comes
// first, and a wait with nothing due moves the time on. A closed socket, like a socket nobody
// holds, receives nothing more.
class FakeRackNet : public DatagramEndpoints {
public:
    FakeRackNet(FakeTime& time, size_t sockets)
        : inboxes(sockets), closed_at(sockets), time_(time) {}

    bool send_to(size_t from, const std::vector<uint8_t>& bytes, const Ipv4& to,
                 uint16_t port) override {
        if (closed_at.at(from)) return false;
        sent.push_back(RackSent{from, Sent{time_.now, bytes, to, port}});
        return true;
    }

    std::optional<Arrival> receive(uint32_t timeout_ms) override {
        ++receives;
        size_t first = inboxes.size();
        for (size_t i = 0; i < inboxes.size(); ++i) {
            if (inboxes[i].empty()) continue;
            if (first == inboxes.size() || inboxes[i].front().first < inboxes[first].front().first)
                first = i;
        }
        if (first < inboxes.size() && inboxes[first].front().first <= time_.now + timeout_ms) {
            time_.now = std::max(time_.now, inboxes[first].front().first);
            Arrival a{first, inboxes[first].front().second};
            inboxes[first].pop_front();
            return a;
        }
        time_.now += timeout_ms;
        return std::nullopt;
    }

    void close(size_t index) override {
        ASSERT_FALSE(closed_at.at(index)) << "closed twice: " << index;
        closed_at[index] = time_.now;
        inboxes[index].clear();
    }

    void arrive(size_t socket, uint64_t at, Bytes bytes) {
        inboxes.at(socket).push_back({at, Datagram{std::move(bytes), kServer, kServerTxPort}});
    }

    std::vector<Sent> sent_from(size_t socket) const {
        std::vector<Sent> s;
        for (const RackSent& r : sent) {
            if (r.socket == socket) s.push_back(r.sent);
        }
        return s;
    }

    std::vector<RackSent> sent;
    std::vector<std::deque<std::pair<uint64_t, Datagram>>> inboxes;  // by time
    std::vector<std::optional<uint64_t>> closed_at;
    uint64_t receives = 0;

private:
    FakeTime& time_;
};

from_dev_bcst_t announcement_of(const Sent& s) {
    from_dev_bcst_t b{};
    from_wire(s.bytes.data(), b);
    return b;
}

// Three devices at 198.18.0.2 and up, each with its own serial number and its own program.
class RackLoop : public ::testing::Test {
protected:
    static constexpr size_t N = 3;

    RackLoop() {
        for (size_t i = 0; i < N; ++i) {
            DeviceConfig c = config();
            c.ip[3] = static_cast<uint8_t>(kDevice[3] + i);
            c.mac[5] = static_cast<uint8_t>(i);
            c.flash = Bytes(100 * (i + 1), static_cast<uint8_t>(0x10 + i));
            devs.push_back(std::make_unique<Bootloader>(c));
        }
    }

    std::vector<Ending> run() {
        std::vector<RackDevice> devices;
        for (size_t i = 0; i < N; ++i) {
            RunSettings s = settings;
            s.first_announcement_ms = first_announcement_ms(static_cast<uint32_t>(i), N, 300);
            devices.push_back(RackDevice{devs[i].get(), s});
        }
        Rack rack(devices, net, time, con);
        const std::vector<Ending> e = rack.run();
        for (size_t i = 0; i < N; ++i) stats.push_back(rack.stats(i));
        return e;
    }

    std::vector<uint64_t> announced_at(size_t socket) const {
        std::vector<uint64_t> t;
        for (const Sent& s : net.sent_from(socket)) {
            if (is_announcement(s)) t.push_back(s.at);
        }
        return t;
    }

    std::vector<Sent> replies_from(size_t socket) const {
        std::vector<Sent> r;
        for (const Sent& s : net.sent_from(socket)) {
            if (!is_announcement(s)) r.push_back(s);
        }
        return r;
    }

    FakeTime time;
    FakeRackNet net{time, N};
    RecordingConsole con;
    std::vector<std::unique_ptr<Bootloader>> devs;
    RunSettings settings{kBroadcast, 300, 0, 1000};
    std::vector<RunStats> stats;
};

// Each device announces itself through its own socket, with its own address, serial number
// and flash CRC, 10 ms after its neighbour and then at the interval.
TEST_F(RackLoop, EachAnnouncesFromItsOwnSocketStaggered) {
    EXPECT_EQ(run(), (std::vector<Ending>(N, Ending::time_limit)));
    EXPECT_EQ(time.now, 1000u);
    for (size_t i = 0; i < N; ++i) {
        SCOPED_TRACE(i);
        const uint64_t o = 10 * i;
        EXPECT_EQ(announced_at(i), (std::vector<uint64_t>{o, 300 + o, 600 + o, 900 + o}));
        for (const Sent& s : net.sent_from(i)) {
            ASSERT_TRUE(is_announcement(s));
            EXPECT_EQ(s.to, kBroadcast);
            const from_dev_bcst_t b = announcement_of(s);
            EXPECT_EQ(Ipv4(std::to_array(b.my_ip)), devs[i]->config().ip);
            EXPECT_EQ(std::to_array(b.my_mac), devs[i]->config().mac);
            EXPECT_EQ(b.crc_uflash, devs[i]->flash_crc());
        }
        EXPECT_EQ(stats[i].announcements, 4u);
        EXPECT_TRUE(net.closed_at[i].has_value());
    }
    EXPECT_NE(devs[0]->flash_crc(), devs[1]->flash_crc());
    EXPECT_LT(net.receives, 60u) << "waits are not cut short";
}

// A command is answered by the device whose socket it came to, from that socket, with that
// device's serial number, address and flash; the others are untouched.
TEST_F(RackLoop, EachAnswersOnlyTheCommandsToItsOwnSocket) {
    const std::vector<uint32_t> crc_before{devs[0]->flash_crc(), devs[1]->flash_crc(),
                                           devs[2]->flash_crc()};
    net.arrive(1, 50, command(CMD_UNBLOCK_FLASH));
    net.arrive(1, 51, command(CMD_ERASE_UP_FLASH));
    net.arrive(1, 52, command(CMD_GETCRC_FLASH));
    net.arrive(2, 53, command(CMD_GETCRC_FLASH));
    EXPECT_EQ(run(), (std::vector<Ending>(N, Ending::time_limit)));

    EXPECT_TRUE(replies_from(0).empty());
    EXPECT_EQ(devs[0]->valid_commands(), 0u);
    EXPECT_EQ(devs[0]->flash_crc(), crc_before[0]);
    EXPECT_EQ(devs[1]->flash(), Bytes(IMAGE_SIZE, 0xFF)) << "erased";
    EXPECT_EQ(devs[2]->flash_crc(), crc_before[2]);
    for (const size_t i : {size_t{1}, size_t{2}}) {
        SCOPED_TRACE(i);
        const std::vector<Sent> r = replies_from(i);
        ASSERT_FALSE(r.empty());
        for (const Sent& s : r) {
            EXPECT_EQ(s.to, kServer);
            EXPECT_EQ(std::to_array(reply_of(s).my_mac), devs[i]->config().mac);
            EXPECT_EQ(Ipv4(std::to_array(reply_of(s).my_ip)), devs[i]->config().ip);
        }
        EXPECT_EQ(reply_of(r.back()).get_cmd, CMD_GETCRC_FLASH);
        EXPECT_EQ(byte_to_int(reply_of(r.back()).ext_area, 0), devs[i]->flash_crc());
        EXPECT_EQ(stats[i].replies_sent, r.size());
    }
    EXPECT_EQ(replies_from(1).size(), 3u);
    EXPECT_NE(devs[1]->flash_crc(), crc_before[1]);
}

// A device whose jump is answered stops announcing and is closed; the others go on, and what
// comes to the closed one is never taken. Its console line names its address.
TEST_F(RackLoop, ADeviceThatIsDoneDropsOutAndTheOthersGoOn) {
    net.arrive(1, 100, command(CMD_JUMP_TO_APP));
    net.arrive(1, 200, command(CMD_NOP));
    EXPECT_EQ(run(), (std::vector<Ending>{Ending::time_limit, Ending::jumped, Ending::time_limit}));
    EXPECT_EQ(net.closed_at[1], 100u);
    EXPECT_EQ(net.closed_at[0], 1000u);
    EXPECT_EQ(announced_at(1), (std::vector<uint64_t>{10}));
    EXPECT_EQ(announced_at(2), (std::vector<uint64_t>{20, 320, 620, 920}));
    EXPECT_EQ(devs[1]->valid_commands(), 1u);
    EXPECT_EQ(replies_from(1).size(), 1u);
    EXPECT_EQ(con.text(), "198.18.0.3: Ответ на CMD_JUMP_TO_APP отправлен, объявления прекращены.\n");
}

// The run ends when the last device is done, each after its time after the jump.
TEST_F(RackLoop, EndsWhenEveryDeviceIsDone) {
    settings.after_jump_ms = 50;
    net.arrive(2, 100, command(CMD_JUMP_TO_APP));
    net.arrive(0, 200, command(CMD_JUMP_TO_APP));
    net.arrive(1, 350, command(CMD_JUMP_TO_APP));
    net.arrive(0, 220, command(CMD_NOP));  // answered in the time after its jump
    EXPECT_EQ(run(), (std::vector<Ending>(N, Ending::jumped)));
    EXPECT_EQ(time.now, 400u);
    EXPECT_EQ(net.closed_at, (std::vector<std::optional<uint64_t>>{250u, 400u, 150u}));
    EXPECT_EQ(replies_from(0).size(), 2u);
}

TEST(RackStagger, TenMillisecondsApartWithinTheFirstInterval) {
    struct Case {
        uint32_t index, count, interval, first;
    };
    for (const Case& c : {Case{0, 1, 1000, 0}, Case{0, 16, 10000, 0}, Case{1, 16, 10000, 10},
                          Case{15, 16, 10000, 150}, Case{63, 64, 10000, 630},
                          Case{3, 64, 320, 15}, Case{1, 2, 5, 2}, Case{5, 8, 1, 0}}) {
        EXPECT_EQ(first_announcement_ms(c.index, c.count, c.interval), c.first)
            << c.index << " of " << c.count << " every " << c.interval;
    }
}

// The rack on real sockets on loopback: one socket per device address, all waited on at once;
// commands sent before the run are answered from the address they went to.
TEST(RackOnLoopback, EachDeviceAnswersFromItsOwnAddress) {
    constexpr uint16_t kPort = 45008;        // the devices'
    constexpr uint16_t kServerPort = 45009;  // where the commands come from and replies go
    const Ipv4 server{127, 77, 0, 1};
    const std::vector<Ipv4> addresses{{127, 77, 0, 2}, {127, 77, 0, 3}, {127, 77, 0, 4}};
    std::string error;
    size_t failed = 0;
    const auto server_end = open_datagram_endpoint(server, kServerPort, error);
    ASSERT_NE(server_end, nullptr) << error;
    const auto sockets = open_datagram_endpoints(addresses, kPort, error, failed);
#if defined(_WIN32)
    // Wine refuses a second socket on a port that another one has, whatever their addresses
    // (10048), where Windows binds each address on its own.
    if (sockets == nullptr && error.find("10048") != std::string::npos) {
        GTEST_SKIP() << "several addresses of one interface on one port: " << error;
    }
#endif
    ASSERT_NE(sockets, nullptr) << failed << ": " << error;

    std::vector<std::unique_ptr<Bootloader>> devs;
    std::vector<RackDevice> rack;
    for (size_t i = 0; i < addresses.size(); ++i) {
        DeviceConfig c = config();
        c.ip = addresses[i];
        c.mac[5] = static_cast<uint8_t>(i);
        devs.push_back(std::make_unique<Bootloader>(c));
        // No announcement before the jumps end the run: nothing goes to port 5008.
        rack.push_back(
            RackDevice{devs.back().get(), RunSettings{server, 60000, 0, 10000, {}, 60000}});
        // The reverse order of addresses: each is answered all the same.
        const Ipv4& to = addresses[addresses.size() - 1 - i];
        ASSERT_TRUE(server_end->send_to(command(CMD_NOP, kServerPort), to, kPort));
        ASSERT_TRUE(server_end->send_to(command(CMD_JUMP_TO_APP, kServerPort), to, kPort));
    }
    SteadyStopwatch clock;
    RecordingConsole con;
    Rack r(rack, *sockets, clock, con);
    EXPECT_EQ(r.run(), (std::vector<Ending>(addresses.size(), Ending::jumped)));

    std::map<Ipv4, std::vector<uint32_t>> answered;
    for (int n = 0; n < 20; ++n) {
        const std::optional<Datagram> d = server_end->receive(n < 6 ? 2000 : 50);
        if (!d) break;
        ASSERT_EQ(d->bytes.size(), sizeof(from_dev_update_t));
        from_dev_update_t reply{};
        from_wire(d->bytes.data(), reply);
        EXPECT_EQ(Ipv4(std::to_array(reply.my_ip)), d->from);
        EXPECT_EQ(d->from_port, kPort);
        const size_t i = static_cast<size_t>(d->from[3] - 2);
        ASSERT_LT(i, devs.size());
        EXPECT_EQ(std::to_array(reply.my_mac), devs[i]->config().mac);
        answered[d->from].push_back(reply.get_cmd);
    }
    for (const Ipv4& a : addresses) {
        EXPECT_EQ(answered[a], (std::vector<uint32_t>{CMD_NOP, CMD_JUMP_TO_APP}))
            << "127.77.0." << int{a[3]};
    }
}

// --- the rack's summary and exit status ------------------------------------------------------

// Two devices: the first jumped with the expected flash, the second ran out of time with five
// blocks differing. The table, the differing blocks, the totals, then the lines for programs.
TEST(RackSummary, TableDifferingBlocksAndTotals) {
    Bytes expected = as_flash(Bytes(1000, 0x42));
    expected[IMAGE_SIZE - 1] = 0x00;
    std::vector<std::unique_ptr<Bootloader>> devs;
    for (const uint8_t i : {uint8_t{0}, uint8_t{1}}) {
        DeviceConfig c = config();
        c.ip[3] = static_cast<uint8_t>(2 + i);
        c.mac[5] = i;
        if (i == 0) c.flash = expected;  // the second stays erased: blocks 0-3 and 479 differ
        devs.push_back(std::make_unique<Bootloader>(c));
    }
    for (const uint32_t code : {0u, 9u, 8u}) {
        const Bytes b = command(code);
        devs[0]->handle(b.data(), b.size());
    }
    devs[1]->handle(nullptr, 0);
    const Expectation e{"e.upk", expected};
    const std::vector<RackEntry> rack{
        {devs[0].get(),
         Summary{"198.18.0.2", Ending::jumped, RunStats{1, 3, 0, 0, 0, 0, 0}, e}},
        {devs[1].get(),
         Summary{"198.18.0.3", Ending::time_limit, RunStats{4, 0, 0, 0, 2, 0, 0}, e}}};
    RecordingConsole con;
    say_rack_summary(con, rack);
    const std::string sep(56, '-');
    const std::string crc0 = hex8(devs[0]->flash_crc());
    const std::string crc1 = hex8(devs[1]->flash_crc());
    EXPECT_EQ(con.text(),
              sep + "\n" +
                  "qd-devsim: итог (устройств: 2)\n"
                  "Адрес            Серийный номер           Переход  FLASH         Команд  "
                  "Блоков  CRC32 UP1\n"
                  "198.18.0.2       0.128.225.1.2.0          да       совпадает          3       "
                  "0   " + crc0 + "\n" +
                  "198.18.0.3       0.128.225.1.2.1          НЕТ      НЕ совпадает       0       "
                  "0   " + crc1 + "\n" +
                  "198.18.0.3: блоки, отличные от e.upk: 0 1 2 3 479\n"
                  "Устройств: 2; переход выполнен: 1; FLASH совпадает с e.upk: 1\n" +
                  sep + "\n" +
                  "result: index=0 address=198.18.0.2 serial=0.128.225.1.2.0 " +
                  result_line(*devs[0], rack[0].summary).substr(8) + "\n" +
                  "result: index=1 address=198.18.0.3 serial=0.128.225.1.2.1 " +
                  result_line(*devs[1], rack[1].summary).substr(8) + "\n" +
                  "total: devices=2 jumped=1 flash_ok=1 commands=3 invalid=1 blocks=0 "
                  "announcements=5 replies=3 lost=0 damaged=0 refused=0 duplicated=0 muted=0 "
                  "dropped_silent=0 send_failures=2\n");
}

struct RackVerdictCase {
    const char* name;
    std::vector<Ending> endings;
    int differing;  // the device whose flash is not the expected image; -1: none
    bool expect;
    int status;
    const char* total;  // how the total line begins
};

void PrintTo(const RackVerdictCase& c, std::ostream* os) { *os << c.name; }

class RackVerdict : public ::testing::TestWithParam<RackVerdictCase> {};

constexpr Ending J = Ending::jumped;
constexpr Ending T = Ending::time_limit;

INSTANTIATE_TEST_SUITE_P(
    Cases, RackVerdict,
    ::testing::Values(
        RackVerdictCase{"AllJumped", {J, J, J}, -1, true, 0, "devices=3 jumped=3 flash_ok=3 "},
        RackVerdictCase{"OneNotJumped", {J, T, J}, -1, true, 3, "devices=3 jumped=2 flash_ok=3 "},
        RackVerdictCase{"OneWrongFlash", {J, J, J}, 2, true, 1, "devices=3 jumped=3 flash_ok=2 "},
        RackVerdictCase{"NotJumpedAndWrongFlash", {T, J, J}, 1, true, 3,
                        "devices=3 jumped=2 flash_ok=2 "},
        RackVerdictCase{"NoneJumped", {T, T, T}, -1, true, 3, "devices=3 jumped=0 flash_ok=3 "},
        RackVerdictCase{"NoExpectation", {J, J, J}, 0, false, 0,
                        "devices=3 jumped=3 flash_ok=none "}),
    [](const auto& c) { return std::string(c.param.name); });

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

// The exit status sums the devices up; each has its result line, with its jump and flash, in
// the order of the devices, and the total is the last line.
TEST_P(RackVerdict, ExitStatusResultLinesAndTotal) {
    const RackVerdictCase& c = GetParam();
    const Bytes program(1000, 0x42);
    std::vector<std::unique_ptr<Bootloader>> devs;
    std::vector<RackEntry> rack;
    for (size_t i = 0; i < c.endings.size(); ++i) {
        DeviceConfig cfg = config();
        cfg.ip[3] = static_cast<uint8_t>(2 + i);
        cfg.mac[5] = static_cast<uint8_t>(i);
        cfg.flash = static_cast<int>(i) == c.differing ? Bytes(1000, 0x43) : program;
        devs.push_back(std::make_unique<Bootloader>(cfg));
        Summary s{"198.18.0." + std::to_string(2 + i), c.endings[i], {}, std::nullopt};
        if (c.expect) s.expected = Expectation{"e.upk", as_flash(program)};
        rack.push_back(RackEntry{devs.back().get(), s});
    }
    RecordingConsole con;
    say_rack_summary(con, rack);
    EXPECT_EQ(rack_exit_status(rack), c.status);

    std::vector<std::string> results;
    for (const std::string& line : lines_of(con.text())) {
        if (line.rfind("result: ", 0) == 0) results.push_back(line);
    }
    ASSERT_EQ(results.size(), rack.size()) << con.text();
    for (size_t i = 0; i < rack.size(); ++i) {
        SCOPED_TRACE(i);
        const auto pairs = result_pairs("\n" + results[i] + "\n");
        ASSERT_GE(pairs.size(), 5u);
        EXPECT_EQ(pairs[0], (std::pair<std::string, std::string>{"index", std::to_string(i)}));
        EXPECT_EQ(pairs[1].second, rack[i].summary.address);
        EXPECT_EQ(pairs[2], (std::pair<std::string, std::string>{
                                "serial", "0.128.225.1.2." + std::to_string(i)}));
        EXPECT_EQ(pairs[3].second, c.endings[i] == J ? "1" : "0") << pairs[3].first;
        EXPECT_EQ(pairs[4].second, !c.expect                        ? "none"
                                   : static_cast<int>(i) == c.differing ? "0"
                                                                        : "1")
            << pairs[4].first;
        EXPECT_EQ(results[i], rack_result_line(i, rack[i]));
    }
    const std::string last = lines_of(con.text()).back();
    EXPECT_EQ(last.rfind(std::string("total: ") + c.total, 0), 0u) << last;
    EXPECT_EQ(last, total_line(rack));
}

// A rack of one sums up as the one device does.
TEST(RackVerdictOfOne, IsTheDevicesOwn) {
    for (const Ending ending : {J, T}) {
        for (const bool same : {true, false}) {
            Bootloader dev{config()};
            Bytes expected = dev.flash();
            if (!same) expected[5] = 0;
            const Summary s{"198.18.0.2", ending, {}, Expectation{"e.upk", expected}};
            EXPECT_EQ(rack_exit_status({RackEntry{&dev, s}}), exit_status(dev, s));
        }
    }
}

}  // namespace
}  // namespace qd::device
