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

void say_summary(Console& con, const Bootloader& dev, const Summary& s);

int exit_status(const Bootloader& dev, const Summary& s);

}  // namespace qd::device
