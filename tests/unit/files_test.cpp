// Files by UTF-8 name, alike on both systems: a file of any name is made and renamed, and a
// rename never replaces a file.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.hpp"
#include "support/temp_dir.hpp"

namespace qd {
namespace {

namespace fs = std::filesystem;

std::string utf8(const std::u8string& name) { return {name.begin(), name.end()}; }

// The names are Cyrillic: outside the ANSI code page of a Western Windows, as they can be in a
// technician's folder.
TEST(Files, AFileOfAnyNameIsMadeAndRenamedButNeverOverAnother) {
    test::TempWorkDir dir;
    std::FILE* made = open_file(utf8(u8"журнал.tmp").c_str(), "wb");
    ASSERT_NE(made, nullptr);
    std::fputc('1', made);
    std::fclose(made);
    test::write_text(fs::path(u8"занят.upk"), "2");

    EXPECT_TRUE(rename_noreplace(utf8(u8"журнал.tmp").c_str(), utf8(u8"прошивка.upk").c_str()));
    EXPECT_FALSE(fs::exists(fs::path(u8"журнал.tmp")));
    EXPECT_EQ(test::read_file(fs::path(u8"прошивка.upk")), std::vector<uint8_t>{'1'});
    EXPECT_FALSE(rename_noreplace(utf8(u8"прошивка.upk").c_str(), utf8(u8"занят.upk").c_str()));
    EXPECT_EQ(test::read_file(fs::path(u8"занят.upk")), std::vector<uint8_t>{'2'});
    EXPECT_EQ(test::read_file(fs::path(u8"прошивка.upk")), std::vector<uint8_t>{'1'});
    EXPECT_FALSE(rename_noreplace(utf8(u8"нет.tmp").c_str(), utf8(u8"другой.upk").c_str()));
    EXPECT_FALSE(fs::exists(fs::path(u8"другой.upk")));
}

}  // namespace
}  // namespace qd
