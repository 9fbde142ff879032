// A fresh working directory for one test: entered on construction, left and removed after.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace qd::test {

class TempWorkDir {
public:
    TempWorkDir();
    ~TempWorkDir();
    TempWorkDir(const TempWorkDir&) = delete;
    TempWorkDir& operator=(const TempWorkDir&) = delete;

    const std::filesystem::path& path() const { return dir_; }

private:
    std::filesystem::path previous_;
    std::filesystem::path dir_;
};

void write_file(const std::filesystem::path& p, const std::vector<uint8_t>& bytes);
void write_text(const std::filesystem::path& p, const std::string& text);
std::vector<uint8_t> read_file(const std::filesystem::path& p);
// Names of the entries of a directory, sorted.
std::vector<std::string> list_dir(const std::filesystem::path& p);

// Everything in a folder and its sub-folders: each entry's path relative to it, with a file's
// bytes ("<folder>" for a folder), to tell whether anything in it changed.
using FolderSnapshot = std::map<std::string, std::string>;
FolderSnapshot folder_snapshot(const std::filesystem::path& dir);

}  // namespace qd::test
