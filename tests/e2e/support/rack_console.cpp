// One device's lines in the console of the engine for several devices at once.
#include "support/rack_console.hpp"

#include <cstdio>
#include <regex>
#include <sstream>

namespace qd::test {
namespace {

constexpr unsigned kBlocks = 480;
constexpr unsigned kFlashBase = 0x08010000;
constexpr unsigned kBlockSize = 256;

std::string masked_duration(const std::string& line) {
    static const std::regex duration(R"(: \d+ мс, повторов: )");
    return std::regex_replace(line, duration, ": [MS] мс, повторов: ");
}

bool is_trace(const std::string& line) {
    return line.compare(0, 9, "TX byte: ") == 0 || line.compare(0, 8, "RX byte:") == 0;
}

std::string block_line(unsigned block) {
    char text[64];
    std::snprintf(text, sizeof text, "NPW:%u; Adr: 0h%X;", block, kFlashBase + block * kBlockSize);
    return text;
}

std::string crc_line(unsigned crc) {
    char text[96];
    std::snprintf(text, sizeof text, "FLASH UP1 CRC32: 0h%X, совпадает с образом", crc);
    return text;
}

void add_blocks(std::vector<std::string>& lines, bool verbose) {
    for (unsigned block = 0; block < kBlocks; ++block) {
        if (verbose) {
            lines.emplace_back("CMD_WRITE_UP_FLASH{5} Time:0 ms");
            lines.push_back(block_line(block));
        }
        if ((block + 1) % (kBlocks / 10) == 0) {
            lines.push_back("Запись FLASH: " + std::to_string((block + 1) * 100 / kBlocks) + " %");
        }
    }
}

}  // namespace

std::vector<std::string> lines_of(const std::string& text, const std::string& ip, bool trace) {
    const std::string lead = ip + " ";
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, lead.size(), lead) != 0) continue;
        line.erase(0, lead.size());
        if (trace || !is_trace(line)) lines.push_back(masked_duration(line));
    }
    return lines;
}

std::vector<std::string> clean_update_lines(bool verbose, unsigned image_crc) {
    std::vector<std::string> lines{"Начато обновление ПО"};
    if (verbose) {
        for (const char* s :
             {"CMD_NOP{0} Time:0 ms", "CMD_ACTIVATE_BL{1} Time:0 ms", "CMD_GET_CONFIG{9} Time:0 ms",
              "Переход на UP1", "Программирование возможно", "CMD_UNBLOCK_FLASH{2} Time:0 ms",
              "CMD_ERASE_UP_FLASH{3} Time:0 ms", "CMD_SET_PASS_BIN{4} Time:0 ms"}) {
            lines.emplace_back(s);
        }
    }
    add_blocks(lines, verbose);
    if (verbose) lines.emplace_back("CMD_GETCRC_FLASH{6} Time:0 ms");
    lines.push_back(crc_line(image_crc));
    if (verbose) lines.emplace_back("CMD_JUMP_TO_APP{7} Time:0 ms");
    lines.emplace_back("Обновление завершено, устройство переведено в приложение: [MS] мс, "
                       "повторов: 0");
    return lines;
}

bool is_end_line(const std::string& line) {
    static const std::regex end(
        R"((Обновление завершено, устройство переведено в приложение|Устройство переведено в )"
        R"(приложение|Обмен прерван): (\d+|\[MS\]) мс, повторов: \d+)");
    return std::regex_match(line, end);
}

}  // namespace qd::test
