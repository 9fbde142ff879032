// The command codes' names, as the server's console, the device model and the tests print them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "protocol/frames.hpp"

namespace qd {

struct CommandName {
    uint8_t code;
    const char* name;
};

// In the order of the update sequence.
inline constexpr std::array<CommandName, 9> COMMAND_NAMES{{
    {CMD_NOP, "CMD_NOP"},
    {CMD_ACTIVATE_BL, "CMD_ACTIVATE_BL"},
    {CMD_GET_CONFIG, "CMD_GET_CONFIG"},
    {CMD_UNBLOCK_FLASH, "CMD_UNBLOCK_FLASH"},
    {CMD_ERASE_UP_FLASH, "CMD_ERASE_UP_FLASH"},
    {CMD_SET_PASS_BIN, "CMD_SET_PASS_BIN"},
    {CMD_WRITE_UP_FLASH, "CMD_WRITE_UP_FLASH"},
    {CMD_GETCRC_FLASH, "CMD_GETCRC_FLASH"},
    {CMD_JUMP_TO_APP, "CMD_JUMP_TO_APP"},
}};

// The name of a command code ("CMD_NOP"), or nullptr for a code that has none.
const char* command_name(uint32_t code);

// The code of a name, with or without "CMD_", in any case.
std::optional<uint8_t> command_code(std::string_view name);

}  // namespace qd
