// The server's configuration, read once at start-up from the INI file.
#pragma once

#include <cstdint>

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

// Reads the configuration keys from the INI file at `path`, in their fixed order.
void read_settings(const char* path, Settings& cfg);

// The image password: the text as a signed base-16 number of 32 bits ("-1" gives FFFFFFFF,
// anything above 7FFFFFFF gives 7FFFFFFF, no digits give 0).
uint32_t pass_from_text(const char* text);

// An allowlist entry "a.b.c.d.e.f": true, with the low 8 bits of the six numbers in mac, only
// when six numbers are found; mac is left alone otherwise.
bool parse_serial(const char* text, uint8_t mac[6]);

}  // namespace qd
