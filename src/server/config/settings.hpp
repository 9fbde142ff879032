// The server's configuration, read once at start-up from the INI file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <variant>

namespace qd {

inline constexpr uint32_t INI_SIGNATURE = 136719067;  // 0x08262ADB, the IdIniFile value

struct Settings {
    char s_NA[32] = {};  // allowlist entries as text
    char s_NB[32] = {};
    char s_NC[32] = {};
    char s_ND[32] = {};
    uint8_t rmac0[6] = {};  // allowlist entries as serial numbers (device MACs)
    uint8_t rmac1[6] = {};
    uint8_t rmac2[6] = {};
    uint8_t rmac3[6] = {};
    uint32_t on_dbg_pr = 0;  // verbose reporting
    uint32_t on_dbg_pf = 0;  // frame-level trace
    uint8_t autoprog_regime = 0;
    uint8_t app_jump_regime = 0;
    uint16_t delay_write_block = 10;  // ms after each flash block write
    uint16_t delay_steps = 100;       // ms after each command and after each reply check
    char s_BinContainer[32] = {};
    char s_CptContainer[32] = {};
    uint8_t type_file_for_update = 0;
    uint32_t bin_pass = 0;
    uint32_t id_ini_file = 0;
    // Reply-paced mode: a pause before a poll ends as soon as the reply is in, and the pause
    // after an accepted reply is left out.
    bool reply_paced = false;
    // The flash CRC a device reports is compared with the image's before the jump.
    bool verify_flash = true;
    // Seconds without an accepted reply after which a dialogue is given up; 0: never.
    uint16_t stall_timeout = 60;
    // Devices updated at once by the second engine (2..64); any other value: one at a time.
    uint32_t parallel = 0;
    // The update journal's file (relative to the working directory); empty: no journal.
    char s_Journal[260] = {};
    // With Parallel on a terminal, the live table of the open dialogues; 0 in the key: plain lines.
    bool live_view = true;

    char* entry_text(int n) { return n == 0 ? s_NA : n == 1 ? s_NB : n == 2 ? s_NC : s_ND; }
    uint8_t* entry_mac(int n) { return n == 0 ? rmac0 : n == 1 ? rmac1 : n == 2 ? rmac2 : rmac3; }
};

// How a key's value goes into its field.
enum class IniRule : uint8_t {
    Integer,       // the integer, cut to the field's width
    IsOne,         // true when the integer is 1
    NotZero,       // true unless the integer is 0
    DebugVerbose,  // 1: on_dbg_pr on and on_dbg_pf off; any other value leaves both
    DebugTrace,    // 2: on_dbg_pr and on_dbg_pf on; any other value leaves both
    Text,          // the text, cut to the field's size less one
    Password,      // the text, cut to 31 characters, as a signed base-16 number (pass_from_text)
};

using SettingsField =
    std::variant<uint8_t Settings::*, uint16_t Settings::*, uint32_t Settings::*,
                 bool Settings::*, char (Settings::*)[32], char (Settings::*)[260]>;

// One key of the INI file. A text key's default is empty; `number` is an integer key's.
struct IniKey {
    const char* section;
    const char* key;
    int32_t number;
    size_t width;  // bytes: the integer's field, or the buffer the text is read into
    SettingsField field;
    IniRule rule = IniRule::Integer;

    constexpr bool is_text() const { return rule == IniRule::Text || rule == IniRule::Password; }
};

// The keys in the order read_settings reads them (DebugPrint is read twice); README.md lists them
// in its table of the configuration.
inline constexpr IniKey INI_KEYS[] = {
    {"DEVICE", "NA", 0, 32, &Settings::s_NA, IniRule::Text},
    {"DEVICE", "NB", 0, 32, &Settings::s_NB, IniRule::Text},
    {"DEVICE", "NC", 0, 32, &Settings::s_NC, IniRule::Text},
    {"DEVICE", "ND", 0, 32, &Settings::s_ND, IniRule::Text},
    {"DEBUG", "DebugPrint", 0, 4, &Settings::on_dbg_pr, IniRule::DebugVerbose},
    {"DEBUG", "DebugPrint", 0, 4, &Settings::on_dbg_pf, IniRule::DebugTrace},
    {"DIRECTIVE", "AutoProg", 0, 1, &Settings::autoprog_regime},
    {"DIRECTIVE", "AutoJumpApp", 0, 1, &Settings::app_jump_regime},
    {"DIRECTIVE", "DelayWrite", 10, 2, &Settings::delay_write_block},
    {"DIRECTIVE", "DelayFrames", 100, 2, &Settings::delay_steps},
    {"FILE", "BinContainer", 0, 32, &Settings::s_BinContainer, IniRule::Text},
    {"FILE", "CryptContainer", 0, 32, &Settings::s_CptContainer, IniRule::Text},
    {"FILE", "TypeContainer", 0, 1, &Settings::type_file_for_update},
    {"PASS", "PassBinContainer", 0, 32, &Settings::bin_pass, IniRule::Password},
    {"ID_INI_FILE", "IdIniFile", 0, 4, &Settings::id_ini_file},
    {"DIRECTIVE", "ReplyPaced", 0, 1, &Settings::reply_paced, IniRule::IsOne},
    {"DIRECTIVE", "VerifyFlash", 1, 1, &Settings::verify_flash, IniRule::NotZero},
    {"DIRECTIVE", "StallTimeout", 60, 2, &Settings::stall_timeout},
    {"LOG", "Journal", 0, 260, &Settings::s_Journal, IniRule::Text},
    {"DIRECTIVE", "Parallel", 0, 4, &Settings::parallel},
    {"DIRECTIVE", "LiveView", 1, 1, &Settings::live_view, IniRule::NotZero},
};

// A row that its field can take: a text into a buffer of characters as wide as the row says, a
// password into 32 bits from a text of 32 bytes, a yes or no into a bool, an integer into an
// unsigned field of the row's width.
template <typename T>
constexpr bool ini_row_fits(const IniKey& k, T Settings::*) {
    if constexpr (std::is_array_v<T>) {
        return k.rule == IniRule::Text && k.width == sizeof(T);
    } else if constexpr (std::is_same_v<T, bool>) {
        return (k.rule == IniRule::IsOne || k.rule == IniRule::NotZero) && k.width == sizeof(T);
    } else if (k.rule == IniRule::Password) {
        return std::is_same_v<T, uint32_t> && k.width == 32;
    } else {
        return !k.is_text() && k.rule != IniRule::IsOne && k.rule != IniRule::NotZero &&
               k.width == sizeof(T);
    }
}

consteval bool ini_rows_fit() {
    for (const IniKey& k : INI_KEYS) {
        if (!std::visit([&k](auto field) { return ini_row_fits(k, field); }, k.field)) return false;
        if (k.is_text() && k.number != 0) return false;  // a text key's default is empty
    }
    return true;
}
static_assert(ini_rows_fit(), "INI_KEYS: a width or rule that its field cannot take");

// Reads the configuration keys of INI_KEYS from the INI file at `path`, in their order.
void read_settings(const char* path, Settings& cfg);

// The image password: the text as a signed base-16 number of 32 bits ("-1" gives FFFFFFFF,
// anything above 7FFFFFFF gives 7FFFFFFF, no digits give 0).
uint32_t pass_from_text(const char* text);

// An allowlist entry "a.b.c.d.e.f": true, with the low 8 bits of the six numbers in mac, only
// when six numbers are found; mac is left alone otherwise.
bool parse_serial(const char* text, uint8_t mac[6]);

}  // namespace qd
