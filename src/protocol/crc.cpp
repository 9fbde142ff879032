// The CRC-32 of frames, images and containers.
#include "protocol/crc.hpp"

#include <array>
#include <cstddef>

#include "protocol/constants.hpp"

namespace qd {
namespace {

// One byte's eight steps of the register, for every byte value.
using Table = std::array<uint32_t, 256>;

constexpr uint32_t eight_steps(uint32_t val, uint32_t poly) {
    for (int i = 0; i < 8; ++i) val = (val & 1u) ? (val >> 1) ^ poly : val >> 1;
    return val;
}

// Table k steps a byte that has k more bytes after it in a group of eight, so that eight bytes
// take eight independent lookups instead of a chain of eight.
using Slices = std::array<Table, 8>;

constexpr Slices make_slices(uint32_t poly) {
    Slices s{};
    for (uint32_t b = 0; b < 256; ++b) s[0][b] = eight_steps(b, poly);
    for (std::size_t k = 1; k < s.size(); ++k) {
        for (uint32_t b = 0; b < 256; ++b) s[k][b] = (s[k - 1][b] >> 8) ^ s[0][s[k - 1][b] & 0xFFu];
    }
    return s;
}

// The polynomial of every frame and image: the same result as bit by bit, a fraction of the
// work on each of the thousand frames of an update.
constexpr Slices kSlices = make_slices(CRC32_POLY);

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t eight_bytes(uint32_t crc, const uint8_t* p) {
    const uint32_t lo = crc ^ le32(p);
    const uint32_t hi = le32(p + 4);
    return kSlices[7][lo & 0xFFu] ^ kSlices[6][(lo >> 8) & 0xFFu] ^ kSlices[5][(lo >> 16) & 0xFFu] ^
           kSlices[4][lo >> 24] ^ kSlices[3][hi & 0xFFu] ^ kSlices[2][(hi >> 8) & 0xFFu] ^
           kSlices[1][(hi >> 16) & 0xFFu] ^ kSlices[0][hi >> 24];
}

uint32_t by_table(const uint8_t* buf, uint32_t len) {
    uint32_t crc = 0xFFFFFFFFu;
    uint32_t n = 0;
    for (; n + 8 <= len; n += 8) crc = eight_bytes(crc, buf + n);
    for (; n < len; ++n) crc = (crc >> 8) ^ kSlices[0][(buf[n] ^ crc) & 0xFFu];
    return ~crc;
}

uint32_t bit_by_bit(const uint8_t* buf, uint32_t len, uint32_t poly) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t n = 0; n < len; ++n) crc = (crc >> 8) ^ eight_steps((buf[n] ^ crc) & 0xFFu, poly);
    return ~crc;
}

}  // namespace

uint32_t fullcalk_crc32(const uint8_t* buf, uint32_t len, uint32_t init) {
    return init == CRC32_POLY ? by_table(buf, len) : bit_by_bit(buf, len, init);
}

}  // namespace qd
