// Reading the configuration keys from the INI file.
#include "server/config/settings.hpp"

#include <cstdint>
#include <cstdlib>

#include "platform/ini.hpp"

namespace qd {
namespace {

uint32_t read_int(const char* section, const char* key, int32_t def, const char* path) {
    return ini_read_int(section, key, def, path);
}

void read_text(const char* section, const char* key, char (&out)[32], const char* path) {
    ini_read_string(section, key, "", out, sizeof out, path);
}

// One "%d" conversion: blanks, a sign, decimal digits (wrapping); false without digits.
bool scan_int(const char*& p, uint32_t& value) {
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    const bool minus = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    if (*p < '0' || *p > '9') return false;
    uint32_t total = 0;
    for (; *p >= '0' && *p <= '9'; ++p) total = total * 10u + static_cast<uint32_t>(*p - '0');
    value = minus ? 0u - total : total;
    return true;
}

}  // namespace

void read_settings(const char* path, Settings& cfg) {
    read_text("DEVICE", "NA", cfg.s_NA, path);
    read_text("DEVICE", "NB", cfg.s_NB, path);
    read_text("DEVICE", "NC", cfg.s_NC, path);
    read_text("DEVICE", "ND", cfg.s_ND, path);
    if (read_int("DEBUG", "DebugPrint", 0, path) == 1) {
        cfg.on_dbg_pr = 1;
        cfg.on_dbg_pf = 0;
    }
    if (read_int("DEBUG", "DebugPrint", 0, path) == 2) {
        cfg.on_dbg_pr = 1;
        cfg.on_dbg_pf = 1;
    }
    cfg.autoprog_regime = static_cast<uint8_t>(read_int("DIRECTIVE", "AutoProg", 0, path));
    cfg.app_jump_regime = static_cast<uint8_t>(read_int("DIRECTIVE", "AutoJumpApp", 0, path));
    cfg.delay_write_block = static_cast<uint16_t>(read_int("DIRECTIVE", "DelayWrite", 10, path));
    cfg.delay_steps = static_cast<uint16_t>(read_int("DIRECTIVE", "DelayFrames", 100, path));
    read_text("FILE", "BinContainer", cfg.s_BinContainer, path);
    read_text("FILE", "CryptContainer", cfg.s_CptContainer, path);
    cfg.type_file_for_update = static_cast<uint8_t>(read_int("FILE", "TypeContainer", 0, path));
    char pass[32];
    read_text("PASS", "PassBinContainer", pass, path);
    cfg.bin_pass = pass_from_text(pass);
    cfg.id_ini_file = read_int("ID_INI_FILE", "IdIniFile", 0, path);
    cfg.reply_paced = read_int("DIRECTIVE", "ReplyPaced", 0, path) == 1;
    cfg.verify_flash = read_int("DIRECTIVE", "VerifyFlash", 1, path) != 0;
    cfg.stall_timeout = static_cast<uint16_t>(read_int("DIRECTIVE", "StallTimeout", 60, path));
    ini_read_string("LOG", "Journal", "", cfg.s_Journal, sizeof cfg.s_Journal, path);
    cfg.parallel = read_int("DIRECTIVE", "Parallel", 0, path);
    cfg.live_view = read_int("DIRECTIVE", "LiveView", 1, path) != 0;
}

uint32_t pass_from_text(const char* text) {
    long value = std::strtol(text, nullptr, 16);
    // The Windows C library converts into a 32-bit long: clamp where long is wider.
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    return static_cast<uint32_t>(static_cast<int32_t>(value));
}

bool parse_serial(const char* text, uint8_t mac[6]) {
    uint32_t numbers[6];
    const char* p = text;
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && *p++ != '.') return false;
        if (!scan_int(p, numbers[i])) return false;
    }
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(numbers[i]);
    return true;
}

}  // namespace qd
