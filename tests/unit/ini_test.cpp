// The INI reader: the results of the Windows private-profile functions.
#include <gtest/gtest.h>

#include <string>

#include "platform/ini.hpp"
#include "support/temp_dir.hpp"

namespace qd {
namespace {

struct StringCase {
    const char* name;
    std::string file;
    const char* section;
    const char* key;
    std::string expected;
};

void PrintTo(const StringCase& c, std::ostream* os) { *os << c.name; }

class IniStrings : public ::testing::TestWithParam<StringCase> {};

TEST_P(IniStrings, ReadsAsThePrivateProfileFunctions) {
    const auto& c = GetParam();
    test::TempWorkDir dir;
    test::write_text("t.ini", c.file);
    char out[32];
    const size_t n = ini_read_string(c.section, c.key, "", out, sizeof out, "t.ini");
    EXPECT_EQ(std::string(out), c.expected);
    EXPECT_EQ(n, c.expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    Table, IniStrings,
    ::testing::Values(
        StringCase{"plain", "[FILE]\nBinContainer=ABC.upk\n", "FILE", "BinContainer", "ABC.upk"},
        StringCase{"names_ignore_case", "[file]\nbincontainer=x\n", "FILE", "BinContainer", "x"},
        StringCase{"blanks_trimmed", "  [FILE]\n\t BinContainer \t=  a b  \n", "FILE",
                   "BinContainer", "a b"},
        StringCase{"double_quotes", "[FILE]\nBinContainer=\" q \"\n", "FILE", "BinContainer", " q "},
        StringCase{"single_quotes", "[FILE]\nBinContainer='q'\n", "FILE", "BinContainer", "q"},
        StringCase{"unmatched_quotes_stay", "[FILE]\nBinContainer=\"q'\n", "FILE", "BinContainer",
                   "\"q'"},
        StringCase{"cut_to_31", "[FILE]\nBinContainer=0123456789012345678901234567890123\n",
                   "FILE", "BinContainer", "0123456789012345678901234567890"},
        StringCase{"missing_key", "[FILE]\nOther=1\n", "FILE", "BinContainer", ""},
        StringCase{"missing_section", "[PASS]\nBinContainer=1\n", "FILE", "BinContainer", ""},
        StringCase{"empty_value", "[FILE]\nBinContainer=\n", "FILE", "BinContainer", ""},
        StringCase{"key_without_equals", "[FILE]\nBinContainer\n", "FILE", "BinContainer", ""},
        StringCase{"first_key_counts", "[FILE]\nBinContainer=a\nBinContainer=b\n", "FILE",
                   "BinContainer", "a"},
        StringCase{"first_section_counts", "[FILE]\nX=1\n[FILE]\nBinContainer=b\n", "FILE",
                   "BinContainer", ""},
        StringCase{"key_before_any_section", "BinContainer=a\n[FILE]\n", "FILE", "BinContainer", ""},
        StringCase{"crlf_lines", "[FILE]\r\nBinContainer=a\r\n", "FILE", "BinContainer", "a"},
        StringCase{"utf8_bom", "\xEF\xBB\xBF[FILE]\nBinContainer=a\n", "FILE", "BinContainer", "a"},
        StringCase{"comment_is_not_the_key", "[FILE]\n;BinContainer=a\nBinContainer=b\n", "FILE",
                   "BinContainer", "b"},
        StringCase{"last_bracket_ends_section", "[FI]LE]\nBinContainer=a\n", "FI]LE",
                   "BinContainer", "a"},
        StringCase{"equals_in_value", "[FILE]\nBinContainer=a=b\n", "FILE", "BinContainer", "a=b"},
        StringCase{"no_final_line_end", "[FILE]\nBinContainer=abc", "FILE", "BinContainer", "abc"},
        StringCase{"very_long_line", "[FILE]\nBinContainer=" + std::string(100000, 'x') + "\n",
                   "FILE", "BinContainer", std::string(31, 'x')},
        StringCase{"binary_junk_around", std::string("\x00\xFF\x01[\n[FILE]\n\x7F\x00=1\nBinContainer=ok\n", 33),
                   "FILE", "BinContainer", "ok"},
        StringCase{"section_name_trimmed", "[ FILE\t]\nBinContainer=a\n", "FILE", "BinContainer",
                   "a"},
        StringCase{"unclosed_bracket_is_no_section", "[FILE]\nX=1\n[FILE\nBinContainer=b\n", "FILE",
                   "BinContainer", "b"},
        StringCase{"value_ends_at_a_zero_byte", std::string("[FILE]\nBinContainer=be\0fore\n", 28),
                   "FILE", "BinContainer", "be"}),
    [](const auto& tc) { return std::string(tc.param.name); });

struct IntCase {
    const char* name;
    const char* value_line;  // the line in section [S], or nullptr for no key
    int32_t def;
    uint32_t expected;
};

void PrintTo(const IntCase& c, std::ostream* os) { *os << c.name; }

class IniIntegers : public ::testing::TestWithParam<IntCase> {};

TEST_P(IniIntegers, ReadsWrappedInTheBaseOfTheirPrefix) {
    const auto& c = GetParam();
    test::TempWorkDir dir;
    test::write_text("t.ini", std::string("[S]\n") + (c.value_line ? c.value_line : "") + "\n");
    EXPECT_EQ(ini_read_int("S", "K", c.def, "t.ini"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IniIntegers,
    ::testing::Values(IntCase{"plain", "K=100", 7, 100u}, IntCase{"missing", nullptr, 10, 10u},
                      IntCase{"empty", "K=", 10, 10u}, IntCase{"blank", "K=   ", 10, 10u},
                      IntCase{"no_digits", "K=abc", 10, 0u}, IntCase{"plus", "K=+5", 0, 5u},
                      IntCase{"minus", "K=-1", 0, 0xFFFFFFFFu},
                      IntCase{"trailing_junk", "K=12ms", 0, 12u},
                      IntCase{"hex_after_0x", "K=0x1f", 0, 31u},
                      IntCase{"octal_after_0o", "K=0o17", 0, 15u},
                      IntCase{"binary_after_0b", "K=0b101", 0, 5u},
                      IntCase{"prefix_only_in_lower_case", "K=0X10", 0, 0u},
                      IntCase{"digit_outside_the_base_ends", "K=0b102", 0, 2u},
                      IntCase{"minus_before_prefix", "K=-0x10", 0, 0xFFFFFFF0u},
                      IntCase{"hex_wraps_mod_2_32", "K=0x100000001", 0, 1u},
                      IntCase{"leading_zero_is_decimal", "K=010", 0, 10u},
                      IntCase{"only_29_characters", "K=000000000000000000000000000001234", 0, 0u},
                      IntCase{"wraps_mod_2_32", "K=4294967297", 0, 1u},
                      IntCase{"wide_for_16_bits", "K=65637", 0, 65637u},
                      IntCase{"quoted", "K=\"42\"", 0, 42u},
                      IntCase{"sign_then_blank", "K=- 5", 0, 0u}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(IniFile, DirectoryGivesTheDefaults) {
    test::TempWorkDir dir;
    std::filesystem::create_directory("d.ini");
    char out[32] = "junk";
    ini_read_string("FILE", "BinContainer", "", out, sizeof out, "d.ini");
    EXPECT_STREQ(out, "");
    EXPECT_EQ(ini_read_int("DIRECTIVE", "DelayFrames", 100, "d.ini"), 100u);
}

TEST(IniFile, MissingFileGivesTheDefaults) {
    test::TempWorkDir dir;
    char out[32] = "junk";
    EXPECT_EQ(ini_read_string("FILE", "BinContainer", "", out, sizeof out, "absent.ini"), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(ini_read_int("DIRECTIVE", "DelayFrames", 100, "absent.ini"), 100u);
    EXPECT_EQ(ini_read_int("DIRECTIVE", "DelayFrames", 100, ""), 100u);
}

}  // namespace
}  // namespace qd
