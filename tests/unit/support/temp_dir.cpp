// Temporary working directories and file helpers for tests.
#include "support/temp_dir.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace qd::test {
namespace {

// A new directory of a random name under the system's temporary folder.
std::filesystem::path make_unique_dir() {
    static std::mt19937_64 rng{std::random_device{}()};
    const auto root = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto dir = root / ("qd-test-" + std::to_string(rng()));
        if (std::filesystem::create_directory(dir)) return dir;
    }
    throw std::runtime_error("no new temporary directory could be made");
}

}  // namespace

TempWorkDir::TempWorkDir()
    : previous_(std::filesystem::current_path()), dir_(make_unique_dir()) {
    std::filesystem::current_path(dir_);
}

TempWorkDir::~TempWorkDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(dir_, ec);
}

void write_file(const std::filesystem::path& p, const std::vector<uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void write_text(const std::filesystem::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary);
    out << text;
}

std::vector<uint8_t> read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> list_dir(const std::filesystem::path& p) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(p)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

FolderSnapshot folder_snapshot(const std::filesystem::path& dir) {
    FolderSnapshot entries;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        const std::string name = e.path().lexically_relative(dir).generic_string();
        if (e.is_directory()) {
            entries[name] = "<folder>";
        } else {
            const std::vector<uint8_t> bytes = read_file(e.path());
            entries[name] = std::string(bytes.begin(), bytes.end());
        }
    }
    return entries;
}

}  // namespace qd::test
