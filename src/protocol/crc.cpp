// The CRC-32 of frames, images and containers.
#include "protocol/crc.hpp"

namespace qd {

uint32_t fullcalk_crc32(const uint8_t* buf, uint32_t len, uint32_t init) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t n = 0; n < len; ++n) {
        uint32_t val = (buf[n] ^ crc) & 0xFFu;
        for (uint8_t i = 0; i < 8; ++i) {
            val = (val & 1u) ? (val >> 1) ^ init : val >> 1;
        }
        crc = (crc >> 8) ^ val;
    }
    return ~crc;
}

}  // namespace qd
