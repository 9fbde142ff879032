// Files by UTF-8 name, alike on both systems: a file of any name is made and renamed, and a
// rename never replaces a file; and the questions about paths asked of the system without
// changing anything: what a path names, and whether a file could be appended to there.
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

TEST(Files, WhatAPathNamesAndWhetherAFileCouldBeAppendedThere) {
    test::TempWorkDir dir;
    test::write_text("j.csv", "time\n");
    fs::create_directory("sub");
    struct Case {
        std::string path;
        PathKind kind;
        AppendAccess access;
    };
    const Case cases[] = {
        {"j.csv", PathKind::file, AppendAccess::append},
        {"new.csv", PathKind::missing, AppendAccess::create},
        {"sub", PathKind::folder, AppendAccess::is_folder},
        {"sub/new.csv", PathKind::missing, AppendAccess::create},
        {"nodir/new.csv", PathKind::missing, AppendAccess::no_folder},
        {"j.csv/new.csv", PathKind::missing, AppendAccess::no_folder},
        {(dir.path() / "j.csv").string(), PathKind::file, AppendAccess::append},
        {(dir.path() / "new.csv").string(), PathKind::missing, AppendAccess::create},
        {(dir.path() / "nodir" / "new.csv").string(), PathKind::missing, AppendAccess::no_folder},
    };
    const test::FolderSnapshot before = test::folder_snapshot(dir.path());
    for (const Case& c : cases) {
        EXPECT_EQ(path_kind(c.path.c_str()), c.kind) << c.path;
        EXPECT_EQ(append_access(c.path.c_str()), c.access) << c.path;
    }
    EXPECT_EQ(test::folder_snapshot(dir.path()), before);
}

}  // namespace
}  // namespace qd
