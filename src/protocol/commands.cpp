// Command codes and their names, both ways.
#include "protocol/commands.hpp"

#include <cctype>
#include <string>

namespace qd {

const char* command_name(uint32_t code) {
    for (const CommandName& c : COMMAND_NAMES) {
        if (c.code == code) return c.name;
    }
    return nullptr;
}

std::optional<uint8_t> command_code(std::string_view name) {
    std::string upper;
    for (const char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.rfind("CMD_", 0) != 0) upper = "CMD_" + upper;
    for (const CommandName& c : COMMAND_NAMES) {
        if (upper == c.name) return c.code;
    }
    return std::nullopt;
}

}  // namespace qd
