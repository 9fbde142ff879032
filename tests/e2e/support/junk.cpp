#include "support/junk.hpp"

#include <algorithm>

#include "protocol/bytes.hpp"
#include "protocol/constants.hpp"
#include "protocol/crc.hpp"
#include "protocol/frames.hpp"

namespace qd::test {
namespace {

// Sets the CRC of a frame's bytes (those before the last four), xored with crc_xor.
template <typename Frame>
std::vector<uint8_t> sealed(Frame f, uint32_t crc_len, uint32_t crc_xor) {
    std::vector<uint8_t> wire(sizeof f);
    to_wire(f, wire.data());
    f.crc_struct = fullcalk_crc32(wire.data(), crc_len, CRC32_POLY) ^ crc_xor;
    to_wire(f, wire.data());
    return wire;
}

}  // namespace

std::vector<uint8_t> announcement_frame(const Announcement& a) {
    from_dev_bcst_t b{};
    b.vers = FRAME_VERSION;
    b.magic_number = FRAME_MAGIC;
    b.ver_hw = 1;
    b.ver_bl = 1;
    std::copy(a.mac.begin(), a.mac.end(), b.my_mac);
    std::copy(a.ip.begin(), a.ip.end(), b.my_ip);
    b.my_port = UPDATE_PORT;
    b.crc_uflash = a.crc_uflash;
    b.n_frame = a.n_frame;
    return sealed(b, BCST_CRC_LEN, 0);
}

Junk JunkMaker::next() {
    const uint32_t n = made_++;
    ++tally_.total;
    if (n % 2 == 0) return Junk{JunkKind::random, random_datagram()};
    const bool as_broadcast = (n / 8) % 2 == 0;
    switch ((n / 2) % 4) {
        case 0:
            ++tally_.bad_crc;
            return Junk{JunkKind::bad_crc_broadcast,
                        broadcast(FRAME_VERSION, FRAME_MAGIC, kCrcFlip)};
        case 1:
            ++tally_.bad_crc;
            return Junk{JunkKind::bad_crc_reply, reply(FRAME_VERSION, FRAME_MAGIC, kCrcFlip)};
        case 2:
            ++tally_.wrong_header;
            return Junk{JunkKind::wrong_version,
                        as_broadcast ? broadcast(2, FRAME_MAGIC, 0) : reply(2, FRAME_MAGIC, 0)};
        default:
            ++tally_.wrong_header;
            return Junk{JunkKind::wrong_magic, as_broadcast
                                                   ? broadcast(FRAME_VERSION, ~FRAME_MAGIC, 0)
                                                   : reply(FRAME_VERSION, ~FRAME_MAGIC, 0)};
    }
}

std::vector<uint8_t> JunkMaker::neighbour() {
    std::vector<uint8_t> b = broadcast(FRAME_VERSION, FRAME_MAGIC, 0);
    const uint32_t frame = kFirstNeighbourFrame + neighbours_++;
    int_to_byte(&frame, b.data(), 44);  // n_frame
    const uint32_t crc = fullcalk_crc32(b.data(), BCST_CRC_LEN, CRC32_POLY);
    int_to_byte(&crc, b.data(), static_cast<uint8_t>(BCST_CRC_LEN));
    return b;
}

// Lengths 0, 1, ... kLongestJunk in turn, then again; random bytes.
std::vector<uint8_t> JunkMaker::random_datagram() {
    const uint32_t random_made = (made_ - 1) / 2;
    const uint32_t length = random_made % (kLongestJunk + 1);
    ++tally_.random_by_length[length];
    std::vector<uint8_t> bytes(length);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng_());
    return bytes;
}

// A device's announcement at 198.18.0.3 with a program CRC of its own.
std::vector<uint8_t> JunkMaker::broadcast(uint32_t vers, uint32_t magic, uint32_t crc_xor) {
    from_dev_bcst_t b{};
    b.vers = vers;
    b.magic_number = magic;
    b.ver_hw = 1;
    b.ver_bl = 1;
    const uint8_t mac[6] = {2, 81, 68, 0, 0, 3};
    const uint8_t ip[4] = {198, 18, 0, 3};
    std::copy(mac, mac + 6, b.my_mac);
    std::copy(ip, ip + 4, b.my_ip);
    b.my_port = UPDATE_PORT;
    b.crc_uflash = static_cast<uint32_t>(rng_());
    b.n_frame = kFirstJunkFrame + made_;
    return sealed(b, BCST_CRC_LEN, crc_xor);
}

// A reply accepting CMD_WRITE_UP_FLASH.
std::vector<uint8_t> JunkMaker::reply(uint32_t vers, uint32_t magic, uint32_t crc_xor) {
    from_dev_update_t r{};
    r.vers = vers;
    r.magic_number = magic;
    r.my_port = UPDATE_PORT;
    r.n_frame = kFirstJunkFrame + made_;
    r.get_cmd = CMD_WRITE_UP_FLASH;
    r.get_result = RES_OK;
    for (uint8_t& b : r.ext_area) b = static_cast<uint8_t>(rng_());
    return sealed(r, REPLY_CRC_LEN, crc_xor);
}

}  // namespace qd::test
