// qd-devsim's summary of one device: counts, the flash check and the result line.
#include "device/summary.hpp"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <string_view>

#include "device/commands.hpp"

namespace qd::device {
namespace {

bool is_named(uint32_t code) {
    for (const CommandName& c : COMMAND_NAMES) {
        if (c.code == code) return true;
    }
    return false;
}

void say_commands(Console& con, const Bootloader& dev) {
    say_line(con, "Получено команд:");
    for (const CommandName& c : COMMAND_NAMES) {
        say(con, "  %-20s %" PRIu64 "\n", c.name, dev.commands_received(c.code));
    }
    for (uint32_t code = 0; code <= 255; ++code) {
        const uint64_t n = dev.commands_received(code);
        if (n != 0 && !is_named(code)) say(con, "  код %-16u %" PRIu64 "\n", code, n);
    }
    say(con, "Недействительных датаграмм: %" PRIu64 "\n", dev.invalid_datagrams());
}

void say_traffic(Console& con, const RunStats& st) {
    say(con, "Объявлений отправлено: %" PRIu64 "\n", st.announcements);
    say(con, "Ответов отправлено: %" PRIu64 "; потеряно: %" PRIu64 "; повреждено: %" PRIu64 "\n",
        st.replies_sent, st.replies_lost, st.replies_damaged);
    if (st.send_failures != 0) {
        say(con, "Не удалось отправить: %" PRIu64 "\n", st.send_failures);
    }
}

// Faults told only when they happened.
void say_faults(Console& con, const Bootloader& dev, const RunStats& st) {
    if (dev.commands_refused() != 0 || st.replies_duplicated != 0) {
        say(con, "Команд отвергнуто: %" PRIu64 "; ответов продублировано: %" PRIu64 "\n",
            dev.commands_refused(), st.replies_duplicated);
    }
    if (st.dropped_while_silent != 0) {
        say(con, "Отброшено датаграмм в молчании: %" PRIu64 "\n", st.dropped_while_silent);
    }
    if (dev.commands_muted() != 0) {
        say(con, "Команд без ответа (--mute): %" PRIu64 "\n", dev.commands_muted());
    }
}

void say_flash_crc(Console& con, const Bootloader& dev) {
    say(con, "CRC32 FLASH UP1: 0h%X\n", dev.flash_crc());
    if (dev.reported_flash_crc() != dev.flash_crc()) {
        say(con, "CRC32 в ответах на CMD_GETCRC_FLASH: 0h%X (--wrong-crc)\n",
            dev.reported_flash_crc());
    }
}

// ---- the result line ----

void put(std::string& line, std::string_view key, std::string_view value) {
    line.append(" ").append(key).append("=").append(value);
}

void put(std::string& line, std::string_view key, uint64_t value) {
    put(line, key, std::to_string(value));
}


// "CMD_JUMP_TO_APP" gives "cmd_jump_to_app".
std::string command_key(std::string_view name) {
    std::string key;
    for (const char c : name) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

void put_commands(std::string& line, const Bootloader& dev) {
    put(line, "commands", dev.valid_commands());
    put(line, "invalid", dev.invalid_datagrams());
    uint64_t named = 0;
    for (const CommandName& c : COMMAND_NAMES) {
        put(line, command_key(c.name), dev.commands_received(c.code));
        named += dev.commands_received(c.code);
    }
    put(line, "cmd_other", dev.valid_commands() - named);
}

void put_traffic(std::string& line, const Bootloader& dev, const RunStats& st) {
    put(line, "announcements", st.announcements);
    put(line, "replies", st.replies_sent);
    put(line, "lost", st.replies_lost);
    put(line, "damaged", st.replies_damaged);
    put(line, "refused", dev.commands_refused());
    put(line, "duplicated", st.replies_duplicated);
    put(line, "muted", dev.commands_muted());
    put(line, "dropped_silent", st.dropped_while_silent);
    put(line, "send_failures", st.send_failures);
}

}  // namespace

std::string hex8(uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

bool flash_matches(const Bootloader& dev, const Summary& s) {
    return s.expected && dev.flash() == s.expected->flash;
}

std::string differing_blocks(const Bytes& flash, const Bytes& expected) {
    constexpr int MAX_BLOCKS_TOLD = 20;
    std::string told;
    int n = 0;
    for (uint32_t at = 0; at < IMAGE_SIZE; at += WRITE_BLOCK_SIZE) {
        const auto from = static_cast<std::ptrdiff_t>(at);
        const auto to = static_cast<std::ptrdiff_t>(at + WRITE_BLOCK_SIZE);
        if (std::equal(flash.begin() + from, flash.begin() + to, expected.begin() + from)) continue;
        if (n++ == MAX_BLOCKS_TOLD) return told + " ...";
        told.append(" ").append(std::to_string(at / WRITE_BLOCK_SIZE));
    }
    return told;
}

std::string result_line(const Bootloader& dev, const Summary& s) {
    std::string line = "result:";
    put(line, "jumped", s.ending == Ending::jumped ? "1" : "0");
    put(line, "flash_ok", !s.expected ? "none" : flash_matches(dev, s) ? "1" : "0");
    put_commands(line, dev);
    put(line, "blocks", dev.blocks_written());
    put(line, "crc", hex8(dev.flash_crc()));
    put(line, "reported_crc", hex8(dev.reported_flash_crc()));
    put_traffic(line, dev, s.stats);
    return line;
}

void say_summary(Console& con, const Bootloader& dev, const Summary& s) {
    say_separator(con);
    say(con, "qd-devsim %s: итог\n", s.address.c_str());
    say_commands(con, dev);
    say_traffic(con, s.stats);
    say_faults(con, dev, s.stats);
    say(con, "Записано блоков: %" PRIu64 "\n", dev.blocks_written());
    say_flash_crc(con, dev);
    say_line(con, s.ending == Ending::jumped ? "Переход на приложение: выполнен"
                                             : "Переход на приложение: НЕ выполнен, время истекло");
    if (s.expected) {
        const bool same = flash_matches(dev, s);
        say(con, "FLASH UP1 и %s: %s\n", s.expected->name.c_str(),
            same ? "совпадают" : "НЕ совпадают");
        if (!same && s.expected->flash.size() == IMAGE_SIZE) {
            say(con, "Блоки, отличные от %s:%s\n", s.expected->name.c_str(),
                differing_blocks(dev.flash(), s.expected->flash).c_str());
        }
    }
    say_separator(con);
    say_line(con, result_line(dev, s));
}

int exit_status(const Bootloader& dev, const Summary& s) {
    if (s.ending == Ending::time_limit) return EXIT_NO_JUMP;
    if (s.expected && !flash_matches(dev, s)) return EXIT_FLASH_DIFFERS;
    return EXIT_UPDATED;
}

}  // namespace qd::device
