// CRC-32 of frames, images and containers.
#pragma once

#include <cstdint>

namespace qd {

// Reflected CRC-32 with the polynomial `init` (its reflected form; the
// register always starts at 0xFFFFFFFF and the result is complemented).
uint32_t fullcalk_crc32(const uint8_t* buf, uint32_t len, uint32_t init);

}  // namespace qd
