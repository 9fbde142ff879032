// Arbitrary INI files: every key read into its setting, and the allowlist built from them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "server/config/settings.hpp"

namespace {

// The INI file of this process, removed when the process ends normally.
struct IniFile {
    std::string path = "/tmp/qd-fuzz-settings-" + std::to_string(::getpid()) + ".ini";
    ~IniFile() { std::remove(path.c_str()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const IniFile ini;
    const std::string& path = ini.path;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    qd::Settings cfg;
    qd::read_settings(path.c_str(), cfg);
    for (int n = 0; n < 4; ++n) qd::parse_serial(cfg.entry_text(n), cfg.entry_mac(n));
    return 0;
}
