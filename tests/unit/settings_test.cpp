// Configuration keys read into their settings.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/serial.hpp"
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

// A serial number as the console and the journal write it, and read back from an allowlist entry.
TEST(SerialText, SixDottedDecimals) {
    struct Case {
        std::vector<uint8_t> mac;
        const char* text;
    };
    const Case cases[] = {
        {{0, 128, 225, 1, 2, 255}, "0.128.225.1.2.255"},
        {{0, 0, 0, 0, 0, 0}, "0.0.0.0.0.0"},
        {{255, 255, 255, 255, 255, 255}, "255.255.255.255.255.255"},
        {{9, 10, 99, 100, 199, 200}, "9.10.99.100.199.200"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(serial_text(c.mac.data()).c_str(), c.text);
        uint8_t back[6] = {};
        EXPECT_TRUE(parse_serial(c.text, back)) << c.text;
        EXPECT_EQ(std::vector<uint8_t>(back, back + 6), c.mac) << c.text;
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

namespace qd {
namespace {

// The keys are read in a fixed order, DebugPrint twice.
TEST(IniKeys, ReadingOrder) {
    std::string order;
    for (const IniKey& k : INI_KEYS) order += std::string(k.section) + "/" + k.key + " ";
    EXPECT_EQ(order,
              "DEVICE/NA DEVICE/NB DEVICE/NC DEVICE/ND DEBUG/DebugPrint DEBUG/DebugPrint "
              "DIRECTIVE/AutoProg DIRECTIVE/AutoJumpApp DIRECTIVE/DelayWrite "
              "DIRECTIVE/DelayFrames FILE/BinContainer FILE/CryptContainer FILE/TypeContainer "
              "PASS/PassBinContainer ID_INI_FILE/IdIniFile DIRECTIVE/ReplyPaced "
              "DIRECTIVE/VerifyFlash DIRECTIVE/StallTimeout LOG/Journal DIRECTIVE/Parallel "
              "DIRECTIVE/LiveView ");
}

std::string trimmed(const std::string& s) {
    const size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::string unquoted(const std::string& s) {
    const std::string t = trimmed(s);
    if (t.size() >= 2 && t.front() == '`' && t.back() == '`') return t.substr(1, t.size() - 2);
    return t;
}

// "SECTION/Key" -> the default, from the rows of README.md's table of the configuration (a row
// may name several keys: "`NA`, `NB`"); a pair named twice is listed in `twice`.
std::map<std::string, std::string> readme_keys(std::vector<std::string>& twice) {
    std::ifstream in(QD_README, std::ios::binary);
    std::map<std::string, std::string> keys;
    bool in_section = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("## ", 0) == 0) in_section = line == "## The configuration (INI file)";
        if (!in_section || line.rfind("| `", 0) != 0) continue;
        std::vector<std::string> cells;
        std::istringstream row(line.substr(1));
        for (std::string cell; cells.size() < 3 && std::getline(row, cell, '|');) {
            cells.push_back(cell);
        }
        if (cells.size() < 3) continue;
        std::istringstream names(cells[1]);
        for (std::string name; std::getline(names, name, ',');) {
            const std::string pair = unquoted(cells[0]) + "/" + unquoted(name);
            if (!keys.emplace(pair, trimmed(cells[2])).second) twice.push_back(pair);
        }
    }
    return keys;
}

// A default as README.md writes it: a number, or "empty" for a text (with the number a password
// gives for it).
std::string readme_default(const IniKey& k) {
    if (k.rule == IniRule::Password) return "empty (" + std::to_string(pass_from_text("")) + ")";
    if (k.is_text()) return "empty";
    return std::to_string(k.number);
}

TEST(IniKeys, ReadmeListsEveryKeyWithItsDefault) {
    std::map<std::string, std::string> expected;
    for (const IniKey& k : INI_KEYS) {
        expected.emplace(std::string(k.section) + "/" + k.key, readme_default(k));
    }
    std::vector<std::string> twice;
    EXPECT_EQ(readme_keys(twice), expected) << QD_README;
    EXPECT_EQ(twice, std::vector<std::string>{}) << "named twice in README.md";
}

}  // namespace
}  // namespace qd
