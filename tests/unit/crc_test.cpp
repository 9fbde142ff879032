// The CRC-32 and the little-endian packing helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/bytes.hpp"
#include "protocol/constants.hpp"
#include "protocol/crc.hpp"

namespace qd {
namespace {

uint32_t crc_of(const char* text, uint32_t poly = CRC32_POLY) {
    return fullcalk_crc32(reinterpret_cast<const uint8_t*>(text),
                          static_cast<uint32_t>(std::strlen(text)), poly);
}

TEST(Crc32, CheckValues) {
    EXPECT_EQ(crc_of(""), 0x00000000u);
    EXPECT_EQ(crc_of("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc_of("abc"), 0x352441C2u);
    const std::vector<uint8_t> zeros(IMAGE_SIZE, 0);
    EXPECT_EQ(fullcalk_crc32(zeros.data(), IMAGE_SIZE, CRC32_POLY), 0x5F288CC9u);
}

TEST(Crc32, UsesThePolynomialPassed) {
    // CRC-32C (Castagnoli), reflected polynomial 0x82F63B78: check value E3069283.
    EXPECT_EQ(crc_of("123456789", 0x82F63B78u), 0xE3069283u);
    // The length bounds the bytes read.
    EXPECT_EQ(fullcalk_crc32(reinterpret_cast<const uint8_t*>("123456789xyz"), 9, CRC32_POLY),
              0xCBF43926u);
}

TEST(BytePacking, LittleEndianBothWays) {
    const uint8_t bytes[4] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(byte_to_int(bytes, 0), 0x12345678u);
    uint8_t out[6] = {};
    const uint32_t value = 0x12345678;
    int_to_byte(&value, out, 1);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0, 0x78, 0x56, 0x34, 0x12, 0}));
}

TEST(BytePacking, PositionsWrapInTheWidthOfTheOffset) {
    std::vector<uint8_t> arr(256, 0);
    const uint32_t value = 0xA1B2C3D4;
    int_to_byte(&value, arr.data(), 254);
    EXPECT_EQ(arr[254], 0xD4);
    EXPECT_EQ(arr[255], 0xC3);
    EXPECT_EQ(arr[0], 0xB2);
    EXPECT_EQ(arr[1], 0xA1);

    std::vector<uint8_t> big(65536, 0);
    big[65535] = 0x11;
    big[0] = 0x22;
    big[1] = 0x33;
    big[2] = 0x44;
    EXPECT_EQ(byte_to_int(big.data(), 65535), 0x44332211u);
}

}  // namespace
}  // namespace qd
