// Device frames as a device would send them, for tests.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/frames.hpp"

namespace qd::test {

using Bytes = std::vector<uint8_t>;

from_dev_bcst_t broadcast(uint32_t crc_uflash = 0x12345678);
from_dev_update_t reply(uint32_t get_cmd, uint32_t get_result, uint32_t time_proc = 5);

// The wire bytes with crc_struct set over the bytes before it (or left as it is when seal is
// false).
Bytes wire(from_dev_bcst_t f, bool seal = true);
Bytes wire(from_dev_update_t f, bool seal = true);

}  // namespace qd::test
