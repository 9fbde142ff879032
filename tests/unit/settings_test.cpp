// Configuration keys read into their settings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/config/settings.hpp"
#include "support/temp_dir.hpp"

namespace qd {
namespace {

TEST(PassBinContainer, SignedBase16In32Bits) {
    struct Case {
        const char* text;
        uint32_t expected;
    };
    const Case cases[] = {
        {"", 0u},           {"zz", 0u},          {"1A", 0x1Au},        {"0x1A", 0x1Au},
        {"  1a", 0x1Au},    {"12345678", 0x12345678u},                  {"7FFFFFFF", 0x7FFFFFFFu},
        {"80000000", 0x7FFFFFFFu},                {"123456789", 0x7FFFFFFFu},
        {"FFFFFFFFFFFFFFFFFFFF", 0x7FFFFFFFu},    {"-1", 0xFFFFFFFFu},  {"-80000000", 0x80000000u},
        {"-80000001", 0x80000000u},               {"+10", 0x10u},       {"DEADxyz", 0xDEADu},
    };
    for (const auto& c : cases) EXPECT_EQ(pass_from_text(c.text), c.expected) << c.text;
}

TEST(Allowlist, SixNumbersOrNothing) {
    struct Case {
        const char* text;
        bool ok;
        std::vector<uint8_t> mac;
    };
    const Case cases[] = {
        {"10.20.30.40.50.60", true, {10, 20, 30, 40, 50, 60}},
        {"0.128.225.1.2.255", true, {0, 128, 225, 1, 2, 255}},
        {"256.-1.1.1.1.1", true, {0, 255, 1, 1, 1, 1}},  // low 8 bits
        {" 1. 2.3.4.5.6x", true, {1, 2, 3, 4, 5, 6}},    // blanks before a number, junk after
        {"1.2.3.4.5", false, {9, 9, 9, 9, 9, 9}},
        {"1.2.3.4.5.", false, {9, 9, 9, 9, 9, 9}},
        {"1:2:3:4:5:6", false, {9, 9, 9, 9, 9, 9}},
        {"1 .2.3.4.5.6", false, {9, 9, 9, 9, 9, 9}},
        {"", false, {9, 9, 9, 9, 9, 9}},
    };
    for (const auto& c : cases) {
        uint8_t mac[6] = {9, 9, 9, 9, 9, 9};
        EXPECT_EQ(parse_serial(c.text, mac), c.ok) << c.text;
        EXPECT_EQ(std::vector<uint8_t>(mac, mac + 6), c.mac) << c.text;
    }
}

TEST(Settings, ReadsEveryKeyIntoItsWidth) {
    test::TempWorkDir dir;
    test::write_text("s.ini",
                     "[DEVICE]\nNA=1.2.3.4.5.6\nNB=b\nNC=c\nND=d\n"
                     "[DEBUG]\nDebugPrint=2\n"
                     "[DIRECTIVE]\nAutoProg=257\nAutoJumpApp=1\nDelayWrite=70000\nDelayFrames=65637\n"
                     "[FILE]\nBinContainer=5F288CC9.upk\nCryptContainer=x.cpt\nTypeContainer=512\n"
                     "[PASS]\nPassBinContainer=-2\n"
                     "[ID_INI_FILE]\nIdIniFile=136719067\n");
    Settings cfg;
    read_settings("s.ini", cfg);
    EXPECT_STREQ(cfg.s_NA, "1.2.3.4.5.6");
    EXPECT_STREQ(cfg.s_ND, "d");
    EXPECT_EQ(cfg.on_dbg_pr, 1u);
    EXPECT_EQ(cfg.on_dbg_pf, 1u);
    EXPECT_EQ(cfg.autoprog_regime, 1);
    EXPECT_EQ(cfg.app_jump_regime, 1);
    EXPECT_EQ(cfg.delay_write_block, 70000 % 65536);
    EXPECT_EQ(cfg.delay_steps, 101);
    EXPECT_STREQ(cfg.s_BinContainer, "5F288CC9.upk");
    EXPECT_STREQ(cfg.s_CptContainer, "x.cpt");
    EXPECT_EQ(cfg.type_file_for_update, 0);
    EXPECT_EQ(cfg.bin_pass, 0xFFFFFFFEu);
    EXPECT_EQ(cfg.id_ini_file, INI_SIGNATURE);
    // The allowlist text is parsed by start-up, not here.
    EXPECT_EQ(cfg.rmac0[0], 0);
}

TEST(Settings, DefaultsWithoutKeys) {
    test::TempWorkDir dir;
    Settings cfg;
    read_settings("absent.ini", cfg);
    EXPECT_EQ(cfg.delay_write_block, 10);
    EXPECT_EQ(cfg.delay_steps, 100);
    EXPECT_EQ(cfg.on_dbg_pr, 0u);
    EXPECT_EQ(cfg.bin_pass, 0u);
    EXPECT_STREQ(cfg.s_BinContainer, "");
    EXPECT_EQ(cfg.id_ini_file, 0u);
}

TEST(Settings, DebugPrintLevels) {
    struct Case {
        const char* value;
        uint32_t pr;
        uint32_t pf;
    };
    const Case cases[] = {{"0", 0, 0}, {"1", 1, 0}, {"2", 1, 1}, {"3", 0, 0}, {"-1", 0, 0},
                          {"4294967298", 1, 1}};
    for (const auto& c : cases) {
        test::TempWorkDir dir;
        test::write_text("d.ini", std::string("[DEBUG]\nDebugPrint=") + c.value + "\n");
        Settings cfg;
        read_settings("d.ini", cfg);
        EXPECT_EQ(cfg.on_dbg_pr, c.pr) << c.value;
        EXPECT_EQ(cfg.on_dbg_pf, c.pf) << c.value;
    }
}

}  // namespace
}  // namespace qd

namespace qd {
namespace {

TEST(Settings, ReplyPacedOnlyForOne) {
    for (const auto& [value, on] : std::vector<std::pair<std::string, bool>>{
             {"1", true}, {"0", false}, {"2", false}, {"yes", false}, {"", false}}) {
        test::TempWorkDir dir;
        test::write_text("r.ini", "[DIRECTIVE]\nReplyPaced=" + value + "\n");
        Settings cfg;
        read_settings("r.ini", cfg);
        EXPECT_EQ(cfg.reply_paced, on) << value;
    }
}

}  // namespace
}  // namespace qd

namespace qd {
namespace {

// The flash check is on unless the key says 0; the stall time is 16 bits wide.
TEST(Settings, FlashCheckAndStallTimeout) {
    struct Case {
        const char* text;
        bool verify;
        uint16_t stall;
    };
    const Case cases[] = {
        {"", true, 60},
        {"VerifyFlash=0\nStallTimeout=0\n", false, 0},
        {"VerifyFlash=1\nStallTimeout=5\n", true, 5},
        {"VerifyFlash=2\nStallTimeout=65541\n", true, 5},
        {"VerifyFlash=\nStallTimeout=\n", true, 60},
        {"VerifyFlash=no\nStallTimeout=-1\n", false, 65535},
    };
    for (const Case& c : cases) {
        test::TempWorkDir dir;
        test::write_text("f.ini", std::string("[DIRECTIVE]\n") + c.text);
        Settings cfg;
        read_settings("f.ini", cfg);
        EXPECT_EQ(cfg.verify_flash, c.verify) << c.text;
        EXPECT_EQ(cfg.stall_timeout, c.stall) << c.text;
    }
}

}  // namespace
}  // namespace qd

namespace qd {
namespace {

// The journal's path is not cut to 31 characters as the other texts are.
TEST(Settings, JournalPathKeepsItsLength) {
    const std::string path = "journals/" + std::string(200, 'j') + ".csv";
    test::TempWorkDir dir;
    test::write_text("j.ini", "[LOG]\nJournal= " + path + " \n");
    Settings cfg;
    read_settings("j.ini", cfg);
    EXPECT_EQ(cfg.s_Journal, path);
    test::write_text("j.ini", "[LOG]\nJournal=" + std::string(300, 'k') + "\n");
    read_settings("j.ini", cfg);
    EXPECT_EQ(cfg.s_Journal, std::string(259, 'k'));
}

}  // namespace
}  // namespace qd
