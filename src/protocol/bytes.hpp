// Little-endian packing of 32-bit values into the frames' payloads.
#pragma once

#include <cstdint>

namespace qd {

// Reads the little-endian value at arr[set..set+3]; positions wrap modulo 65536.
uint32_t byte_to_int(const uint8_t* arr, uint16_t set);

// Writes *myint little-endian to arr[set..set+3]; positions wrap modulo 256.
void int_to_byte(const uint32_t* myint, uint8_t* arr, uint8_t set);

}  // namespace qd
