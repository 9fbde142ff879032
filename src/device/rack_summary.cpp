// The end of a rack's run: a table for a reader, one result line per device and a total.
#include "device/rack_summary.hpp"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>

#include "protocol/serial.hpp"

namespace qd::device {
namespace {

struct Column {
    const char* title;
    size_t width;  // in characters
    bool right;    // aligned to the right
};

// Address, serial number, jump, flash, commands, blocks, CRC-32.
constexpr Column COLUMNS[] = {{"Адрес", 17, false},  {"Серийный номер", 25, false},
                              {"Переход", 9, false}, {"FLASH", 14, false},
                              {"Команд", 6, true},   {"Блоков", 8, true},
                              {"CRC32 UP1", 11, true}};

size_t characters(std::string_view utf8) {
    return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::string padded(const std::string& text, const Column& c) {
    const size_t n = characters(text);
    const std::string fill(n < c.width ? c.width - n : 0, ' ');
    return c.right ? fill + text : text + fill;
}

std::string table_line(const std::vector<std::string>& cells) {
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) line += padded(cells[i], COLUMNS[i]);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

const char* flash_word(const RackEntry& e) {
    if (!e.summary.expected) return "-";
    return flash_matches(*e.dev, e.summary) ? "совпадает" : "НЕ совпадает";
}

std::string device_row(const RackEntry& e) {
    const Bootloader& dev = *e.dev;
    return table_line({e.summary.address, serial_text(dev.config().mac.data()).c_str(),
                       e.summary.ending == Ending::jumped ? "да" : "НЕТ", flash_word(e),
                       std::to_string(dev.valid_commands()), std::to_string(dev.blocks_written()),
                       hex8(dev.flash_crc())});
}

void say_differing(Console& con, const RackEntry& e) {
    const std::optional<Expectation>& x = e.summary.expected;
    if (!x || x->flash.size() != IMAGE_SIZE || flash_matches(*e.dev, e.summary)) return;
    say(con, "%s: блоки, отличные от %s:%s\n", e.summary.address.c_str(), x->name.c_str(),
        differing_blocks(e.dev->flash(), x->flash).c_str());
}

size_t count_if(const std::vector<RackEntry>& rack, bool (*holds)(const RackEntry&)) {
    return static_cast<size_t>(std::count_if(rack.begin(), rack.end(), holds));
}

bool jumped(const RackEntry& e) { return e.summary.ending == Ending::jumped; }
bool flash_ok(const RackEntry& e) { return flash_matches(*e.dev, e.summary); }

void say_total(Console& con, const std::vector<RackEntry>& rack) {
    std::string text = "Устройств: " + std::to_string(rack.size()) +
                       "; переход выполнен: " + std::to_string(count_if(rack, jumped));
    if (!rack.empty() && rack.front().summary.expected) {
        text += "; FLASH совпадает с " + rack.front().summary.expected->name + ": " +
                std::to_string(count_if(rack, flash_ok));
    }
    say_line(con, text);
}

// The sums of the total line, in their order.
struct Sum {
    const char* key;
    uint64_t (*of)(const RackEntry&);
};

constexpr Sum SUMS[] = {
    {"commands", [](const RackEntry& e) { return e.dev->valid_commands(); }},
    {"invalid", [](const RackEntry& e) { return e.dev->invalid_datagrams(); }},
    {"blocks", [](const RackEntry& e) { return e.dev->blocks_written(); }},
    {"announcements", [](const RackEntry& e) { return e.summary.stats.announcements; }},
    {"replies", [](const RackEntry& e) { return e.summary.stats.replies_sent; }},
    {"lost", [](const RackEntry& e) { return e.summary.stats.replies_lost; }},
    {"damaged", [](const RackEntry& e) { return e.summary.stats.replies_damaged; }},
    {"refused", [](const RackEntry& e) { return e.dev->commands_refused(); }},
    {"duplicated", [](const RackEntry& e) { return e.summary.stats.replies_duplicated; }},
    {"muted", [](const RackEntry& e) { return e.dev->commands_muted(); }},
    {"dropped_silent", [](const RackEntry& e) { return e.summary.stats.dropped_while_silent; }},
    {"send_failures", [](const RackEntry& e) { return e.summary.stats.send_failures; }},
};

}  // namespace

void say_rack_summary(Console& con, const std::vector<RackEntry>& rack) {
    say_separator(con);
    say(con, "qd-devsim: итог (устройств: %zu)\n", rack.size());
    std::vector<std::string> titles;
    for (const Column& c : COLUMNS) titles.emplace_back(c.title);
    say_line(con, table_line(titles));
    for (const RackEntry& e : rack) say_line(con, device_row(e));
    for (const RackEntry& e : rack) say_differing(con, e);
    say_total(con, rack);
    say_separator(con);
    for (size_t i = 0; i < rack.size(); ++i) say_line(con, rack_result_line(i, rack[i]));
    say_line(con, total_line(rack));
}

std::string rack_result_line(size_t index, const RackEntry& entry) {
    const std::string pairs = result_line(*entry.dev, entry.summary);
    return "result: index=" + std::to_string(index) + " address=" + entry.summary.address +
           " serial=" + serial_text(entry.dev->config().mac.data()).c_str() +
           pairs.substr(std::string_view("result:").size());
}

std::string total_line(const std::vector<RackEntry>& rack) {
    std::string line = "total: devices=" + std::to_string(rack.size()) +
                       " jumped=" + std::to_string(count_if(rack, jumped)) + " flash_ok=";
    const bool expected = !rack.empty() && rack.front().summary.expected;
    line += expected ? std::to_string(count_if(rack, flash_ok)) : "none";
    for (const Sum& s : SUMS) {
        uint64_t sum = 0;
        for (const RackEntry& e : rack) sum += s.of(e);
        line += std::string(" ") + s.key + "=" + std::to_string(sum);
    }
    return line;
}

int rack_exit_status(const std::vector<RackEntry>& rack) {
    int status = EXIT_UPDATED;
    for (const RackEntry& e : rack) {
        const int one = exit_status(*e.dev, e.summary);
        if (one == EXIT_NO_JUMP) return EXIT_NO_JUMP;
        if (one == EXIT_FLASH_DIFFERS) status = EXIT_FLASH_DIFFERS;
    }
    return status;
}

}  // namespace qd::device
