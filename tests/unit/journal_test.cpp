// The update journal: one line per device decided on, its fields, the header, the file's
// failures, and a refused device that keeps announcing.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "server/journal/journal.hpp"
#include "server/loop/loop_pass.hpp"
#include "server/pass.hpp"
#include "server/server.hpp"
#include "support/device_link.hpp"
#include "support/dialogue_bench.hpp"
#include "support/fakes.hpp"
#include "support/temp_dir.hpp"

namespace qd {
namespace {

using Fields = std::vector<std::string>;

// Splits one CSV line (RFC 4180: quoted fields, doubled quotes inside).
Fields parse_csv(const std::string& line) {
    Fields out(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            out.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    return out;
}

TEST(JournalLine, FieldsInOrderAndQuotedWhereCsvNeedsIt) {
    JournalEntry e;
    e.time = LocalTime{10, 12, 2026, 13, 5, 42, 180};
    const uint8_t mac[6] = {0, 128, 225, 1, 2, 255};
    std::memcpy(e.mac, mac, 6);
    std::strcpy(e.ip, "198.18.0.2");
    e.hw = 3;
    e.bootloader = 2;
    e.crc_before = 0x7EF40B2C;
    e.decision = Verdict::update;
    char line[1024];
    const uint32_t image_crc = 0xD718226B;
    journal_line(e, DialogueEnd::updated, "D718226B.upk", &image_crc, true, 0xD718226B, 812,
                 488, 0, line, sizeof line);
    EXPECT_STREQ(line,
                 "2026-12-10T13:05:42+03:00,0.128.225.1.2.255,198.18.0.2,3,2,7EF40B2C,update,"
                 "updated,D718226B,D718226B.upk,D718226B,812,488,0");
    struct Case {
        const char* image;
        const char* field;
    };
    for (const Case& c : {Case{"a,b.upk", "\"a,b.upk\""}, Case{"say \"x\"", "\"say \"\"x\"\"\""},
                          Case{"a\nb", "\"a\nb\""}, Case{"a\rb", "\"a\rb\""}, Case{"", ""}}) {
        e.time = LocalTime{1, 2, 2027, 3, 4, 5, -330};
        e.crc_before = 0x1;
        const uint32_t crc = 0xABC;
        ASSERT_GT(journal_line(e, DialogueEnd::ignored, c.image, &crc, false, 0, 0, 0, 0, line,
                               sizeof line),
                  0u);
        EXPECT_EQ(std::string(line), std::string("2027-02-01T03:04:05-05:30,0.128.225.1.2.255,"
                                                 "198.18.0.2,3,2,00000001,update,ignored,,") +
                                         c.field + ",00000ABC,0,0,0");
        const Fields f = parse_csv(line);
        ASSERT_EQ(f.size(), 14u);
        EXPECT_EQ(f[9], c.image);
    }
    EXPECT_EQ(journal_line(e, DialogueEnd::ignored, "x", nullptr, false, 0, 0, 0, 0, line, 40),
              0u)
        << "a line that does not fit is not cut";
    ASSERT_GT(journal_line(e, DialogueEnd::ignored, "x", nullptr, false, 0, 0, 0, 0, line,
                           sizeof line),
              0u);
    EXPECT_EQ(parse_csv(line)[10], "") << "no image loaded: no image CRC";
}

class Journalling : public ::testing::Test, public test::DialogueBench {
protected:
    Journalling() { open_journal(); }

    void open_journal() {
        std::strcpy(srv().cfg.s_Journal, "journal.csv");
        journal_open(srv());
    }

    // The device's one line, parsed; the header is the file's first.
    Fields only_line() {
        const auto& lines = t.journal.lines;
        EXPECT_EQ(lines.size(), 2u);
        if (lines.size() < 2) return {};
        EXPECT_EQ(lines[0], JOURNAL_HEADER);
        return parse_csv(lines.back());
    }
};

// What the device answered to CMD_GETCRC_FLASH in its last pass.
enum class CrcAfter { none, image, wrong };

// Decision and result of one device's dialogue, and the fields that follow from them.
struct JournalCase {
    const char* name;
    void (*arrange)(Server&);
    device::Faults faults;
    std::array<uint8_t, 4> ip;
    bool announce_image_crc;  // the device runs the image already
    const char* decision;
    const char* result;
    CrcAfter crc_after;
};

void PrintTo(const JournalCase& c, std::ostream* os) { *os << c.name; }

class JournalCases : public Journalling, public ::testing::WithParamInterface<JournalCase> {};

constexpr std::array<uint8_t, 4> kDevIp = {192, 168, 1, 20};

INSTANTIATE_TEST_SUITE_P(
    Table, JournalCases,
    ::testing::Values(
        JournalCase{"update", [](Server&) {}, {}, kDevIp, false, "update", "updated", CrcAfter::image},
        JournalCase{"same_firmware", [](Server&) {}, {}, kDevIp, true, "same-firmware", "ignored",
                    CrcAfter::none},
        JournalCase{"not_listed", [](Server& s) { s.cfg.autoprog_regime = 1; }, {}, kDevIp, false,
                    "not-listed", "ignored", CrcAfter::none},
        JournalCase{"refused_by_policy", [](Server& s) { s.cfg.autoprog_regime = 0; }, {}, kDevIp,
                    false, "refused", "ignored", CrcAfter::none},
        JournalCase{"refused_by_type", [](Server& s) { s.cfg.type_file_for_update = 1; }, {},
                    kDevIp, true, "refused", "ignored", CrcAfter::none},
        JournalCase{"refused_by_autoprog_7", [](Server& s) { s.cfg.autoprog_regime = 7; }, {},
                    kDevIp, true, "refused", "ignored", CrcAfter::none},
        JournalCase{"jump_only",
                    [](Server& s) {
                        s.cfg.autoprog_regime = 0;
                        s.cfg.app_jump_regime = 1;
                    },
                    {}, kDevIp, false, "refused", "jumped", CrcAfter::none},
        JournalCase{"bad_address", [](Server& s) { s.cfg.app_jump_regime = 1; }, {},
                    {192, 168, 1, 255}, false, "bad-address", "ignored", CrcAfter::none},
        JournalCase{"no_image", [](Server& s) { s.image_loaded = false; }, {}, kDevIp, false,
                    "no-image", "ignored", CrcAfter::none},
        JournalCase{"verify_failed", [](Server&) {}, device::Faults{.wrong_flash_crc = true},
                    kDevIp, false, "update", "verify-failed", CrcAfter::wrong},
        JournalCase{"stalled", [](Server& s) { s.cfg.stall_timeout = 1; },
                    device::Faults{.mute = {CMD_WRITE_UP_FLASH}}, kDevIp, false, "update",
                    "stalled", CrcAfter::none},
        JournalCase{"jump_unconfirmed", [](Server&) {}, device::Faults{.mute = {CMD_JUMP_TO_APP}},
                    kDevIp, false, "update", "jump-unconfirmed", CrcAfter::image},
        JournalCase{"device_refused", [](Server& s) { s.cfg.stall_timeout = 1; },
                    device::Faults{.refuse_probability = 1.0}, kDevIp, false, "update",
                    "device-refused", CrcAfter::none},
        JournalCase{"bad_password", [](Server& s) { s.cfg.bin_pass = 0x12345678; }, {}, kDevIp,
                    false, "update", "bad-password", CrcAfter::none},
        JournalCase{"crc_differs", [](Server& s) { s.cfg.verify_flash = false; },
                    device::Faults{.wrong_flash_crc = true}, kDevIp, false, "update",
                    "crc-differs", CrcAfter::wrong}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_P(JournalCases, OneLineWithTheDecisionTheResultAndWhatWasSent) {
    const JournalCase& c = GetParam();
    c.arrange(srv());
    if (c.announce_image_crc) {
        // A device that runs the image already announces its CRC.
        std::strcpy(srv().cfg.s_BinContainer, "7EF40B2C.upk");  // an erased flash
    }
    const uint64_t before = t.clock.slept_ms();
    plug(c.ip, c.faults);
    run_dialogue(5000);
    const Fields f = only_line();
    ASSERT_EQ(f.size(), 14u);
    char ip[16];
    std::snprintf(ip, sizeof ip, "%d.%d.%d.%d", c.ip[0], c.ip[1], c.ip[2], c.ip[3]);
    char image_crc[9];
    std::snprintf(image_crc, sizeof image_crc, "%08X", this->image_crc());
    const bool sent = std::string(c.result) != "ignored";
    const DialogueCounts& d = srv().loop.dlg.dialogue.log();
    EXPECT_EQ(f[0], "2026-03-05T09:08:07+03:00");
    EXPECT_EQ(f[1], "0.128.225.1.2.255");
    EXPECT_EQ(f[2], ip);
    EXPECT_EQ(f[3], "3");
    EXPECT_EQ(f[4], "2");
    EXPECT_EQ(f[5], "7EF40B2C");  // an erased flash
    EXPECT_EQ(f[6], c.decision);
    EXPECT_EQ(f[7], c.result);
    char wrong_crc[9];
    std::snprintf(wrong_crc, sizeof wrong_crc, "%08X",
                  this->image_crc() ^ device::WRONG_FLASH_CRC_XOR);
    EXPECT_EQ(f[8], c.crc_after == CrcAfter::none    ? ""
                    : c.crc_after == CrcAfter::image ? image_crc
                                                     : wrong_crc);
    EXPECT_EQ(f[9], srv().cfg.s_BinContainer);
    EXPECT_EQ(f[10], std::string(c.name) == "no_image" ? "" : image_crc);
    // The dialogue ends before the finishing step's 100 ms and the pass's.
    EXPECT_EQ(f[11], sent ? std::to_string(t.clock.slept_ms() - before - 200) : "0");
    EXPECT_EQ(f[12], sent ? std::to_string(d.commands) : "0");
    EXPECT_EQ(f[13], sent ? std::to_string(d.repeats) : "0");
}

// A device that is not updated and keeps announcing itself gets one line, until another line
// for its serial number has been written or the decision on it changes.
TEST_F(Journalling, ARefusedDeviceThatKeepsAnnouncingIsJournalledOnce) {
    srv().cfg.autoprog_regime = 0;
    for (int n = 0; n < 5; ++n) {
        plug();
        pass(srv());
    }
    plug({192, 168, 1, 21}, {}, 7);  // another board in between does not count
    pass(srv());
    plug();
    pass(srv());
    ASSERT_EQ(t.journal.lines.size(), 3u);
    srv().cfg.autoprog_regime = 2;  // now it is updated: its own line
    plug();
    run_dialogue();
    srv().cfg.autoprog_regime = 0;  // refused again: a line again, once
    for (int n = 0; n < 3; ++n) {
        plug();
        pass(srv());
    }
    srv().cfg.autoprog_regime = 1;  // not listed now: another decision, its own line, once
    for (int n = 0; n < 3; ++n) {
        plug();
        pass(srv());
    }
    const auto& lines = t.journal.lines;
    ASSERT_EQ(lines.size(), 6u);
    const char* expected[][3] = {{"0.128.225.1.2.255", "refused", "ignored"},
                                 {"0.128.225.1.2.7", "refused", "ignored"},
                                 {"0.128.225.1.2.255", "update", "updated"},
                                 {"0.128.225.1.2.255", "refused", "ignored"},
                                 {"0.128.225.1.2.255", "not-listed", "ignored"}};
    for (size_t i = 0; i < 5; ++i) {
        const Fields f = parse_csv(lines[i + 1]);
        EXPECT_EQ(f[1], expected[i][0]) << i;
        EXPECT_EQ(f[6], expected[i][1]) << i;
        EXPECT_EQ(f[7], expected[i][2]) << i;
    }
}

// Ended from outside in the middle of the write, with either engine and either pacing: the end
// is acted on after the engine's next wait, where the program's hook writes the line of the
// dialogue in progress, with what it has done so far; a dialogue that has ended has its line
// already, and gets no other. The process ends there: what the journal holds then is its last.
TEST_F(Journalling, ADialogueInProgressWhenTheServerIsEndedIsJournalledInterrupted) {
    for (const uint32_t parallel : {0u, 2u}) {
        for (const bool paced : {false, true}) {
            SCOPED_TRACE(std::string(parallel != 0 ? "several at once" : "one at a time") +
                         (paced ? ", reply-paced" : ", fixed pauses"));
            link.reset();
            t.renew();
            t.journal.lines.clear();  // a new journal file
            configure();
            open_journal();
            srv().cfg.parallel = parallel;
            srv().cfg.reply_paced = paced;
            plug();
            for (int n = 0; n < 2000 && t.journal.lines.size() < 2; ++n) pass(srv());
            ASSERT_EQ(t.journal.lines.size(), 2u) << "the first board updated: its line";
            device::Bootloader& d = plug(kDevIp, {}, 7);
            bool requested = false;  // as the handler records it
            bool ended = false;
            uint32_t commands = 0;
            std::vector<std::string> left;  // the journal as the process leaves it
            auto device_side = t.net.on_send;
            t.net.on_send = [&](const test::SentDatagram& sent) {
                if (d.blocks_written() == 100) requested = true;
                device_side(sent);
            };
            t.clock.after_wait = [&] {
                if (!requested || ended) return;
                ended = true;
                const DialogueRecord& rec = parallel != 0 ? srv().parallel.slots[0].rec
                                                          : srv().loop.dlg;
                commands = rec.dialogue.log().commands;
                journal_interrupted(srv());  // what the program's hook does
                journal_interrupted(srv());  // once only
                left = t.journal.lines;
            };
            for (int n = 0; n < 2000 && !ended; ++n) pass(srv());
            t.clock.after_wait = nullptr;
            ASSERT_TRUE(ended);
            ASSERT_EQ(left.size(), 3u);
            EXPECT_EQ(parse_csv(left[1])[7], "updated");
            const Fields f = parse_csv(left[2]);
            EXPECT_EQ(f[1], "0.128.225.1.2.7");
            EXPECT_EQ(f[6], "update");
            EXPECT_EQ(f[7], "interrupted");
            EXPECT_EQ(f[8], "") << "no flash CRC read yet";
            EXPECT_EQ(f[12], std::to_string(commands));
            EXPECT_EQ(commands, 6u + 101u)
                << "the steps before the write, the blocks, the one in flight";
            EXPECT_EQ(f[13], "0");
        }
    }
}

// A fatal socket error ends the process as it must (its line, exit code -1), and the board
// whose dialogue it cut short has its line first.
TEST_F(Journalling, AFatalSocketErrorWritesTheLineOfTheDialogueInProgressFirst) {
    plug();
    run_dialogue();  // the first board updated: its line
    plug(kDevIp, {}, 7);
    t.net.fail_open = true;  // the send socket of the next dialogue cannot be created
    t.con.clear();
    try {
        run_dialogue();
        ADD_FAILURE() << "the process did not end";
    } catch (const test::ProcessExit& e) {
        EXPECT_EQ(e.code, -1);
    }
    EXPECT_NE(t.con.text().find("ERROR - create socket() failed \n"), std::string::npos)
        << t.con.text();
    const auto& lines = t.journal.lines;
    ASSERT_EQ(lines.size(), 3u);
    const Fields f = parse_csv(lines[2]);
    EXPECT_EQ(f[1], "0.128.225.1.2.7");
    EXPECT_EQ(f[6], "update");
    EXPECT_EQ(f[7], "interrupted");
    EXPECT_EQ(f[12], "0");
}

// The engine for several devices: each dialogue open gets its line; one that has ended, none.
TEST_F(Journalling, EachOpenDialogueOfARackIsJournalledInterrupted) {
    srv().cfg.parallel = 4;
    srv().cfg.reply_paced = true;
    std::vector<std::unique_ptr<device::Bootloader>> rack;
    std::vector<device::Bootloader*> ptrs;
    for (uint8_t i = 0; i < 3; ++i) {
        rack.push_back(std::make_unique<device::Bootloader>(
            test::bench_device({192, 168, 1, static_cast<uint8_t>(20 + i)}, i)));
        // The first is quick and done; the others take their time over each block.
        rack.back()->set_faults(device::Faults{.delay_ms = i == 0 ? 1u : 40u});
        ptrs.push_back(rack.back().get());
    }
    link.reset();
    test::RackLink links(t.net, t.clock, ptrs);
    for (size_t i = 0; i < rack.size(); ++i) links.announce(i);
    while (!rack[0]->jumped() || t.journal.lines.size() < 2) pass(srv());
    ASSERT_FALSE(rack[1]->jumped());
    journal_interrupted(srv());
    const auto& lines = t.journal.lines;
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(parse_csv(lines[1])[7], "updated");
    std::vector<std::string> interrupted;
    for (size_t i = 2; i < 4; ++i) {
        const Fields f = parse_csv(lines[i]);
        EXPECT_EQ(f[7], "interrupted");
        interrupted.push_back(f[2]);
    }
    std::sort(interrupted.begin(), interrupted.end());
    EXPECT_EQ(interrupted, (std::vector<std::string>{"192.168.1.21", "192.168.1.22"}));
}

// A write that fails is said once; journalling stops, the updates go on, the console is as it
// is without a journal.
TEST_F(Journalling, AFailedWriteIsSaidOnceAndTheUpdatesGoOn) {
    t.journal.fail_append_at = 3;  // the header and one line are written
    for (uint8_t board = 1; board <= 3; ++board) {
        device::Bootloader& d = plug(kDevIp, {}, board);
        run_dialogue();
        EXPECT_TRUE(d.jumped()) << int{board};
    }
    EXPECT_EQ(t.journal.lines.size(), 2u);
    EXPECT_EQ(t.journal.appends, 3u);
    const std::string& out = t.con.text();
    EXPECT_EQ(test::count(out, "Ошибка записи журнала обновлений"), 1u);
    EXPECT_NE(out.find("CMD_JUMP_TO_APP{7} Time:3 ms\n"
                       "Ошибка записи журнала обновлений: No space left on device\n" +
                       test::kNext),
              std::string::npos);
}

TEST(JournalOpen, ACleanConsoleWithoutAJournalAndOneLineWhenItCannotBeOpened) {
    test::TestServer t;
    journal_open(*t.srv);  // no key: nothing opened, nothing said
    EXPECT_TRUE(t.journal.opened_path.empty());
    EXPECT_FALSE(t.srv->journal.active);
    std::strcpy(t.srv->cfg.s_Journal, "no/such/folder/j.csv");
    t.journal.open_error = "No such file or directory";
    journal_open(*t.srv);
    EXPECT_EQ(t.con.text(),
              "Журнал обновлений no/such/folder/j.csv не открыт: No such file or directory\n");
    EXPECT_FALSE(t.srv->journal.active);
}

// The platform's line end in the journal.
#ifdef _WIN32
const std::string kEol = "\r\n";
#else
const std::string kEol = "\n";
#endif

// The real file: a header only for a new or empty file, not for one that ends in a piece of a
// line; lines appended whole with the platform's line end; what cannot be opened says why.
TEST(JournalFileOnDisk, HeaderForANewOrEmptyFileOnlyAndLinesAppended) {
    struct Case {
        const char* name;
        const char* before;  // nullptr: no file
        std::string after;
    };
    const std::string header = std::string(JOURNAL_HEADER) + kEol;
    for (const Case& c : {Case{"new", nullptr, header + "one" + kEol},
                          Case{"empty", "", header + "one" + kEol},
                          Case{"kept", "earlier line\n", "earlier line\none" + kEol},
                          Case{"cut", "earlier line\n2026-12", "earlier line\n2026-12" + kEol + "one" + kEol}}) {
        test::TempWorkDir dir;
        test::TestServer t;
        t.srv->journal.file = &system_journal_file();
        if (c.before != nullptr) test::write_text("j.csv", c.before);
        std::strcpy(t.srv->cfg.s_Journal, "j.csv");
        journal_open(*t.srv);
        ASSERT_TRUE(t.srv->journal.active) << c.name;
        char reason[64];
        EXPECT_TRUE(system_journal_file().append_line("one", 3, reason, sizeof reason));
        system_journal_file().close();
        const auto bytes = test::read_file("j.csv");
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.after) << c.name;
        EXPECT_EQ(t.con.text(), "") << c.name;
    }
}

// The platform's journal file itself, held to one contract on both systems: a missing file is
// made; empty() tells a file without a byte; lines go at the end whole, with the platform's line
// end; a file that ends in a piece of a line (cut by a power failure, or left by an older
// version) keeps the piece as a line of its own, and only the first line appended makes up for
// it. A line end of the other system ends a line as well.
TEST(SystemJournalFile, AppendsWholeLinesAfterWhatTheFileHolds) {
    struct Case {
        const char* name;
        const char* before;  // nullptr: no file
        bool empty;
        std::string after;  // without the two lines appended
    };
    const std::string cut = "a,b" + kEol + "2026-12";
    for (const Case& c : {Case{"missing", nullptr, true, ""}, Case{"empty", "", true, ""},
                          Case{"whole", "a,b\n", false, "a,b\n"},
                          Case{"whole_crlf", "a,b\r\n", false, "a,b\r\n"},
                          Case{"cut", cut.c_str(), false, cut + kEol},
                          Case{"cut_after_cr", "a,b\r", false, "a,b\r" + kEol},
                          Case{"only_a_piece", "time,se", false, "time,se" + kEol}}) {
        SCOPED_TRACE(c.name);
        test::TempWorkDir dir;
        if (c.before != nullptr) test::write_text("j.csv", c.before);
        JournalFile& f = system_journal_file();
        char reason[64] = "";
        ASSERT_TRUE(f.open("j.csv", reason, sizeof reason)) << reason;
        EXPECT_EQ(f.empty(), c.empty);
        EXPECT_TRUE(f.append_line("one,1", 5, reason, sizeof reason)) << reason;
        EXPECT_FALSE(f.empty());
        EXPECT_TRUE(f.append_line("two,2", 5, reason, sizeof reason)) << reason;
        f.close();
        const auto bytes = test::read_file("j.csv");
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
                  c.after + "one,1" + kEol + "two,2" + kEol);
    }
}

#ifndef _WIN32
// A write cut short is taken back: the file ends as it did before it, the reason is said, and
// the next line still starts on a line of its own after a piece that was there. The cut comes
// from the process's file size limit with SIGXFSZ ignored, as a full disk cuts a write. Windows
// has no such limit, nor any other way to cut a write short in a process of its own; the Windows
// file's case is the full disk under Wine (tests/e2e/wine_server_test.cpp).
TEST(SystemJournalFile, AWriteCutShortIsTakenBack) {
    test::TempWorkDir dir;
    const std::string before = "a,b\n2026-12";
    test::write_text("j.csv", before);
    JournalFile& f = system_journal_file();
    char reason[64] = "";
    ASSERT_TRUE(f.open("j.csv", reason, sizeof reason)) << reason;
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = before.size() + 5;  // room for a few bytes of the line
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = f.append_line("a line longer than the room", 27, reason, sizeof reason);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(written);
    EXPECT_STREQ(reason, "No space left on device");
    auto bytes = test::read_file("j.csv");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), before);
    EXPECT_TRUE(f.append_line("one,1", 5, reason, sizeof reason)) << reason;
    f.close();
    bytes = test::read_file("j.csv");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), before + "\none,1\n");
}
#endif

// The system's reason: the C library's text on POSIX, the system's message on Windows (its words
// differ between Windows versions and Wine: only that there is one is checked there).
TEST(JournalFileOnDisk, WhatCannotBeOpenedSaysWhy) {
    test::TempWorkDir dir;
    std::filesystem::create_directory("folder");
    for (const auto& [path, reason] : std::vector<std::pair<std::string, std::string>>{
             {"missing/j.csv", "No such file or directory"}, {"folder", "Is a directory"}}) {
        test::TestServer t;
        t.srv->journal.file = &system_journal_file();
        std::strcpy(t.srv->cfg.s_Journal, path.c_str());
        journal_open(*t.srv);
        EXPECT_FALSE(t.srv->journal.active);
        const std::string said = "Журнал обновлений " + path + " не открыт: ";
#ifdef _WIN32
        const std::string& out = t.con.text();
        EXPECT_EQ(out.rfind(said, 0), 0u) << out;
        EXPECT_GT(out.size(), said.size() + 1) << out;
        EXPECT_EQ(out.back(), '\n');
#else
        EXPECT_EQ(t.con.text(), said + reason + "\n");
#endif
    }
}

}  // namespace
}  // namespace qd
