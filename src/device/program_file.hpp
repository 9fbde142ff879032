// Programs for the UP1 flash in files: what a simulated device starts with, and what its flash
// is compared with at the end. A file holds at most the whole UP1 area (a container) and fills
// it from its start; the rest of the area is erased flash. File names are UTF-8.
#pragma once

#include <optional>
#include <string>

#include "device/bootloader.hpp"

namespace qd::device {

// The file's bytes; nothing, with the reason (UTF-8) in error, when it cannot be read or is
// larger than the UP1 area.
std::optional<Bytes> read_program(const std::string& path, std::string& error);

// The whole UP1 area as it is with `program` written from its start.
Bytes as_flash(const Bytes& program);

}  // namespace qd::device
