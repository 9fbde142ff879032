// Console charsets: conversion to Windows-1251 and cleaned UTF-8, and the choice of one.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <iconv.h>
#endif

#include <string>

#include "platform/charset.hpp"

namespace qd {
namespace {

std::string to_cp1251(const std::string& utf8) {
    std::string out(utf8.size(), '\0');
    out.resize(utf8_to_cp1251(utf8, out.data()));
    return out;
}

std::string clean(const std::string& utf8) {
    std::string out(utf8.size(), '\0');
    out.resize(utf8_clean(utf8, out.data()));
    return out;
}

// Every Windows-1251 byte, turned into UTF-8 by the C library, comes back as the same byte.
#ifdef _WIN32
TEST(Charset, AgreesWithIconvOnEveryWindows1251Byte) {
    GTEST_SKIP() << "the Windows C library has no iconv; the Linux build makes this comparison";
}
#else
TEST(Charset, AgreesWithIconvOnEveryWindows1251Byte) {
    iconv_t cd = iconv_open("UTF-8", "CP1251");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    int mapped = 0;
    for (int b = 1; b < 256; ++b) {
        char in[1] = {static_cast<char>(b)};
        char out[8];
        char* ip = in;
        char* op = out;
        size_t il = 1;
        size_t ol = sizeof out;
        if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1)) continue;  // 0x98
        ++mapped;
        EXPECT_EQ(to_cp1251(std::string(out, op)), std::string(1, static_cast<char>(b))) << b;
    }
    iconv_close(cd);
    EXPECT_EQ(mapped, 254);
}
#endif

TEST(Charset, RussianTextAndUnmappableCharacters) {
    EXPECT_EQ(to_cp1251("Ёж: ok"), "\xA8\xE6: ok");
    EXPECT_EQ(to_cp1251("a\xE2\x82\xAC\xE4\xB8\xAD" "b"), "a\x88?b");  // euro sign, a CJK character
    EXPECT_EQ(to_cp1251("\xF0\x9F\x98\x80"), "?");                    // one character, one '?'
}

TEST(Charset, MalformedUtf8BecomesQuestionMarks) {
    EXPECT_EQ(to_cp1251("x\xFFy"), "x?y");
    EXPECT_EQ(to_cp1251("\xD0"), "?");           // cut short at the end
    EXPECT_EQ(to_cp1251("\xD0z"), "?z");         // the byte after a bad lead is kept
    EXPECT_EQ(to_cp1251("\xC0\xAF"), "?");       // overlong form: one sequence, one '?'
    EXPECT_EQ(clean("путь/\xFF.ini"), "путь/?.ini");
    EXPECT_EQ(clean("\xED\xA0\x80"), "?");       // a surrogate
}

TEST(Charset, ChoiceOfConsoleCharset) {
    struct Case {
        const char* forced;
        const char* codeset;
        Charset expected;
    };
    const Case cases[] = {
        {nullptr, "UTF-8", Charset::utf8},
        {nullptr, "ANSI_X3.4-1968", Charset::utf8},  // the C locale
        {nullptr, nullptr, Charset::utf8},
        {nullptr, "CP1251", Charset::cp1251},        // ru_RU.CP1251
        {nullptr, "windows-1251", Charset::cp1251},
        {nullptr, "KOI8-R", Charset::utf8},
        {"utf-8", "CP1251", Charset::utf8},
        {"UTF8", nullptr, Charset::utf8},
        {"cp1251", "UTF-8", Charset::cp1251},
        {"koi8-r", "CP1251", Charset::cp1251},  // not a choice: the locale decides
    };
    for (const auto& c : cases) {
        EXPECT_EQ(choose_charset(c.forced, c.codeset), c.expected)
            << (c.forced ? c.forced : "-") << " " << (c.codeset ? c.codeset : "-");
    }
}

}  // namespace
}  // namespace qd
