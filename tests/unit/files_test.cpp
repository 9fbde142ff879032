// The platform's questions about paths, asked of the system without changing anything: what a
// path names, and whether a file could be appended to (or created) there.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/files.hpp"
#include "support/temp_dir.hpp"

namespace qd {
namespace {

namespace fs = std::filesystem;

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
