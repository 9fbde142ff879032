// CRC-32 of frames, images and containers, and little-endian packing of 32-bit values.
#pragma once

#include <cstdint>

namespace qd {

// Reflected CRC-32, computed bit by bit with the polynomial `init` (its reflected form; the
// register always starts at 0xFFFFFFFF and the result is complemented).
uint32_t fullcalk_crc32(const uint8_t* buf, uint32_t len, uint32_t init);

// Reads the little-endian value at arr[set..set+3]; positions wrap modulo 65536.
uint32_t byte_to_int(const uint8_t* arr, uint16_t set);

// Writes *myint little-endian to arr[set..set+3]; positions wrap modulo 256.
void int_to_byte(const uint32_t* myint, uint8_t* arr, uint8_t set);

}  // namespace qd
