// Reading the configuration keys from the INI file.
#include "server/config/settings.hpp"

#include <cstdint>
#include <cstdlib>
#include <type_traits>
#include <variant>

#include "platform/ini.hpp"

namespace qd {
namespace {

// One key into its field, as its row says.
void read_key(const IniKey& k, const char* path, Settings& cfg) {
    std::visit(
        [&]<typename T>(T Settings::*field) {
            T& to = cfg.*field;
            if constexpr (std::is_array_v<T>) {
                ini_read_string(k.section, k.key, "", to, sizeof to, path);
            } else if (k.rule == IniRule::Password) {
                char text[32];
                ini_read_string(k.section, k.key, "", text, sizeof text, path);
                to = static_cast<T>(pass_from_text(text));
            } else {
                const uint32_t value = ini_read_int(k.section, k.key, k.number, path);
                switch (k.rule) {
                    case IniRule::IsOne: to = static_cast<T>(value == 1); break;
                    case IniRule::NotZero: to = static_cast<T>(value != 0); break;
                    case IniRule::DebugVerbose:
                        if (value == 1) {
                            cfg.on_dbg_pr = 1;
                            cfg.on_dbg_pf = 0;
                        }
                        break;
                    case IniRule::DebugTrace:
                        if (value == 2) {
                            cfg.on_dbg_pr = 1;
                            cfg.on_dbg_pf = 1;
                        }
                        break;
                    case IniRule::Integer: to = static_cast<T>(value); break;
                    case IniRule::Text:
                    case IniRule::Password: break;  // read as texts above
                }
            }
        },
        k.field);
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
    for (const IniKey& k : INI_KEYS) read_key(k, path, cfg);
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
