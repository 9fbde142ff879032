// Junk for the server's update port, made from a fixed seed: random datagrams of every length
// 0..600 (one in two), and frames of the two lengths the server reads (180 and 300 bytes) that
// it must not take: with a wrong CRC, with a wrong version, with a wrong magic number.
//
// The frames with a wrong CRC carry the right CRC with kCrcFlip xored in, so that a trace line
// "CRC calc:X, CRC rec:Y" can be told to stem from them (X ^ Y == kCrcFlip). The frames with a
// wrong version or magic number carry the right CRC over their bytes, and claim what a server
// would act on (a broadcast, or a reply accepting CMD_WRITE_UP_FLASH): taking one would show. All
// frames made here carry a frame number of kFirstJunkFrame or more.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace qd::test {

enum class JunkKind { random, bad_crc_broadcast, bad_crc_reply, wrong_version, wrong_magic };

inline constexpr uint32_t kCrcFlip = 0x5A5A5A5A;
inline constexpr uint32_t kFirstJunkFrame = 800000;
inline constexpr uint32_t kLongestJunk = 600;
inline constexpr uint32_t kFirstNeighbourFrame = 900000;

struct Junk {
    JunkKind kind;
    std::vector<uint8_t> bytes;
};

// How many of each were made; random datagrams also by length.
struct JunkTally {
    uint64_t total = 0;
    uint64_t bad_crc = 0;       // broadcasts and replies with a wrong CRC
    uint64_t wrong_header = 0;  // wrong version or magic number
    std::array<uint64_t, kLongestJunk + 1> random_by_length{};
};

// A valid announcement (right version, magic number and CRC, hardware and bootloader version 1,
// port 5008) of a device with these fields, as a device sends it.
struct Announcement {
    std::array<uint8_t, 4> ip;
    std::array<uint8_t, 6> mac;
    uint32_t crc_uflash;
    uint32_t n_frame;
};
std::vector<uint8_t> announcement_frame(const Announcement& a);

class JunkMaker {
public:
    explicit JunkMaker(uint32_t seed) : rng_(seed) {}

    Junk next();
    // A valid announcement of another device (198.18.0.3), frame numbers from
    // kFirstNeighbourFrame on.
    std::vector<uint8_t> neighbour();
    const JunkTally& tally() const { return tally_; }

private:
    std::vector<uint8_t> random_datagram();
    std::vector<uint8_t> broadcast(uint32_t vers, uint32_t magic, uint32_t crc_xor);
    std::vector<uint8_t> reply(uint32_t vers, uint32_t magic, uint32_t crc_xor);

    std::mt19937 rng_;
    JunkTally tally_;
    uint32_t made_ = 0;
    uint32_t neighbours_ = 0;
};

}  // namespace qd::test
