// What a rack of simulated devices tells at its end, and the exit status that sums it up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/bootloader.hpp"
#include "device/summary.hpp"
#include "platform/console.hpp"

namespace qd::device {

struct RackEntry {
    const Bootloader* dev;
    Summary summary;
};

// A table in Russian with one line per device (address, serial number, jumped or not, flash
// equal to the expected image or not, commands, blocks written, the flash's CRC-32), the
// differing blocks of each device whose flash differs, and a total, closed by a separator;
// then rack_result_line() for each device and total_line() as the very last line.
void say_rack_summary(Console& con, const std::vector<RackEntry>& rack);

// "result: index=I address=A serial=S" and then the pairs of result_line() in their order.
std::string rack_result_line(size_t index, const RackEntry& entry);

// "total: devices=N jumped=N flash_ok=N|none" and the sums over the devices of commands,
// invalid, blocks, announcements, replies, lost, damaged, refused, duplicated, muted,
// dropped_silent and send_failures.
std::string total_line(const std::vector<RackEntry>& rack);

// 3 when any device's time limit came before its jump; otherwise 1 when any flash differs from
// the expected image; otherwise 0.
int rack_exit_status(const std::vector<RackEntry>& rack);

}  // namespace qd::device
