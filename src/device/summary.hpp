// What a simulated device tells at its end, and the exit status that sums it up.
#pragma once

#include <optional>
#include <string>

#include "device/bootloader.hpp"
#include "device/simulator.hpp"
#include "platform/console.hpp"

namespace qd::device {

enum ExitStatus : int {
    EXIT_UPDATED = 0,        // the jump was answered (and the flash equals the expected image)
    EXIT_FLASH_DIFFERS = 1,  // the jump was answered, but the flash is not the expected image
    EXIT_USAGE = 2,          // bad options, or a file named in them cannot be used
    EXIT_NO_JUMP = 3,        // the time limit came before the jump
    EXIT_NETWORK = 4         // the device's address and port cannot be had
};

struct Expectation {
    std::string name;  // the file, as given
    Bytes flash;       // the UP1 area it stands for
};

struct Summary {
    std::string address;  // dotted
    Ending ending;
    RunStats stats;
    std::optional<Expectation> expected;
};

// The summary: lines in Russian for a reader, closed by a separator, then result_line() as the
// very last line.
void say_summary(Console& con, const Bootloader& dev, const Summary& s);

// One ASCII line for programs: "result:" and blank-separated key=value pairs, in this order:
// jumped (1: the reply accepting CMD_JUMP_TO_APP went out, 0: the time limit came first),
// flash_ok (1 or 0: the flash equals the expected image or not; none without one), commands
// (valid ones), invalid (datagrams that were no command), cmd_nop ... cmd_jump_to_app (commands
// received per code, named as COMMAND_NAMES in lower case), cmd_other (other codes), blocks
// (written), crc (the flash's CRC-32, 8 upper-case hex digits), reported_crc (what
// CMD_GETCRC_FLASH reports), announcements, replies (sent), lost, damaged, refused, duplicated,
// muted, dropped_silent (dropped during a silence), send_failures.
std::string result_line(const Bootloader& dev, const Summary& s);

int exit_status(const Bootloader& dev, const Summary& s);

// Whether the flash equals the expected image; false without one.
bool flash_matches(const Bootloader& dev, const Summary& s);

// The numbers (from 0) of the write blocks in which `flash` differs from `expected` (both the
// whole UP1 area), each after a blank: the first 20 of them, then " ..." when there are more.
// A CRC as 8 upper-case hex digits.
std::string hex8(uint32_t v);

std::string differing_blocks(const Bytes& flash, const Bytes& expected);

}  // namespace qd::device
