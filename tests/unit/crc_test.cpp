// The CRC-32 and the little-endian packing helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/bytes.hpp"
#include "protocol/constants.hpp"
#include "protocol/crc.hpp"
#include "protocol/frames.hpp"

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

// The frames' polynomial goes eight bytes at a time: every length around the groups of eight and
// every start, against the register stepped bit by bit.
TEST(Crc32, EightBytesAtATimeAsBitByBit) {
    std::vector<uint8_t> data(64 + 8);
    uint32_t x = 0x12345678u;
    for (uint8_t& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 24);
    }
    for (uint32_t start = 0; start < 8; ++start) {
        for (uint32_t len = 0; len <= 64; ++len) {
            uint32_t crc = 0xFFFFFFFFu;
            for (uint32_t n = 0; n < len; ++n) {
                crc ^= data[start + n];
                for (int i = 0; i < 8; ++i) crc = (crc & 1u) ? (crc >> 1) ^ CRC32_POLY : crc >> 1;
            }
            EXPECT_EQ(fullcalk_crc32(data.data() + start, len, CRC32_POLY), ~crc)
                << "start " << start << ", length " << len;
        }
    }
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

namespace qd {
namespace {

// Sealing sets crc_struct, the frame's last four bytes, to the CRC-32 of the bytes before it;
// a frame is sealed only while every one of its bytes is as sealed.
template <typename Frame>
void expect_seal_round_trip(Frame f) {
    seal(f);
    std::vector<uint8_t> wire(sizeof f);
    to_wire(f, wire.data());
    const auto crc_len = static_cast<uint32_t>(sizeof f - 4);
    EXPECT_EQ(f.crc_struct, fullcalk_crc32(wire.data(), crc_len, CRC32_POLY));
    EXPECT_TRUE(sealed(wire.data(), crc_len));
    for (size_t at : {size_t{0}, size_t{crc_len / 2}, size_t{crc_len - 1}, size_t{crc_len},
                      size_t{crc_len + 3}}) {
        wire[at] ^= 0x10;
        EXPECT_FALSE(sealed(wire.data(), crc_len)) << at;
        wire[at] ^= 0x10;
    }
}

TEST(Frames, SealAndCheckEveryKind) {
    from_serv_update_t cmd{};
    cmd.cmd = CMD_WRITE_UP_FLASH;
    cmd.ext_area[255] = 0xA5;
    expect_seal_round_trip(cmd);
    from_dev_bcst_t bc{};
    bc.my_ip[0] = 198;
    expect_seal_round_trip(bc);
    from_dev_update_t reply{};
    reply.get_result = RES_OK;
    expect_seal_round_trip(reply);
}

}  // namespace
}  // namespace qd
