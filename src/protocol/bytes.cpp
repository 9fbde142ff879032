// Little-endian packing of 32-bit values, with the position arithmetic of the frames' code.
#include "protocol/bytes.hpp"

namespace qd {

uint32_t byte_to_int(const uint8_t* arr, uint16_t set) {
    const uint16_t i0 = set;
    const auto i1 = static_cast<uint16_t>(set + 1);
    const auto i2 = static_cast<uint16_t>(set + 2);
    const auto i3 = static_cast<uint16_t>(set + 3);
    return static_cast<uint32_t>(arr[i0]) | static_cast<uint32_t>(arr[i1]) << 8 |
           static_cast<uint32_t>(arr[i2]) << 16 | static_cast<uint32_t>(arr[i3]) << 24;
}

void int_to_byte(const uint32_t* myint, uint8_t* arr, uint8_t set) {
    const uint32_t value = *myint;
    const uint8_t i0 = set;
    const auto i1 = static_cast<uint8_t>(set + 1);
    const auto i2 = static_cast<uint8_t>(set + 2);
    const auto i3 = static_cast<uint8_t>(set + 3);
    arr[i0] = static_cast<uint8_t>(value);
    arr[i1] = static_cast<uint8_t>(value >> 8);
    arr[i2] = static_cast<uint8_t>(value >> 16);
    arr[i3] = static_cast<uint8_t>(value >> 24);
}

}  // namespace qd
