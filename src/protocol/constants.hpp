// Sizes and addresses of the device's program flash and of the update image.
#pragma once

#include <cstdint>

namespace qd {

inline constexpr uint32_t IMAGE_SIZE = 122880;       // 0x1E000 bytes: the whole UP1 program area
inline constexpr uint32_t WRITE_BLOCK_SIZE = 256;    // bytes carried by one CMD_WRITE_UP_FLASH
inline constexpr uint32_t IMAGE_BLOCKS = IMAGE_SIZE / WRITE_BLOCK_SIZE;  // 480 blocks per write
static_assert(IMAGE_SIZE % WRITE_BLOCK_SIZE == 0, "the image is whole blocks");
inline constexpr uint32_t FLASH_BASE = 0x08010000;   // device address of image byte 0
inline constexpr uint32_t CRC32_POLY = 0xEDB88320;   // reflected form of 0x04C11DB7

}  // namespace qd
