// A model of a device's bootloader: it announces itself, answers update commands over its UP1
// flash as the real one does, keeps statistics, and can misbehave on purpose (lost, damaged,
// refused, duplicated and late replies, commands never answered, a wrong flash CRC) so that the
// server's handling of them can be exercised.
// It holds no socket and no clock: the caller carries datagrams and applies reply delays.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "protocol/constants.hpp"
#include "protocol/frames.hpp"

namespace qd::device {

using Bytes = std::vector<uint8_t>;

// Bits of the configuration byte that CMD_GET_CONFIG reports.
inline constexpr uint8_t CONFIG_PROGRAMMING_POSSIBLE = 0x01;  // clear: a jumper forbids it
inline constexpr uint8_t CONFIG_GOES_TO_UP1 = 0x02;           // clear: the device goes to UP2

// The last flash address a write block may start at.
inline constexpr uint32_t FLASH_LAST_BLOCK = FLASH_BASE + IMAGE_SIZE - WRITE_BLOCK_SIZE;

// A device with Faults::wrong_flash_crc reports its flash CRC-32 XOR this to CMD_GETCRC_FLASH.
inline constexpr uint32_t WRONG_FLASH_CRC_XOR = 0x00000001;

// What moves the frame number of the device's replies: each reply, only each announcement (the
// replies carry the announcements' number), or nothing.
enum class ReplyCounter : uint8_t { replies, announcements, still };

struct DeviceConfig {
    std::array<uint8_t, 6> mac{};  // also the serial number
    std::array<uint8_t, 4> ip{};   // first octet first
    uint32_t my_port = UPDATE_PORT;
    uint32_t ver_hw = 0;
    uint32_t ver_bl = 0;
    uint32_t num_key = 0;
    uint32_t crc_bl = 0;
    uint32_t bin_password = 0;  // the image password CMD_SET_PASS_BIN must carry
    uint8_t config_bits = CONFIG_PROGRAMMING_POSSIBLE | CONFIG_GOES_TO_UP1;
    uint32_t time_proc = 0;  // ms reported in every reply
    ReplyCounter reply_counter = ReplyCounter::replies;
    // The UP1 flash at power-on: these bytes from its start, the rest erased (0xFF). Empty means
    // an erased flash; more than IMAGE_SIZE bytes is refused.
    Bytes flash;
};

// Deliberate misbehaviour. Commands are numbered from 1 in the order the valid ones arrive.
struct Faults {
    uint32_t seed = 1;                // seeds the generator behind the probabilities
    double loss_probability = 0.0;    // share of replies never sent
    std::set<uint64_t> lose{};        // numbers of the commands whose reply is never sent
    double damage_probability = 0.0;  // share of replies sent with one bit flipped
    std::set<uint64_t> damage{};      // numbers of the commands whose reply is damaged
    bool duplicate = false;           // every reply is sent twice
    uint32_t delay_ms = 0;            // reply time the transport applies
    std::map<uint32_t, uint32_t> delay_by_cmd{};  // reply time for a command code, over delay_ms
    double refuse_probability = 0.0;     // share of commands answered RES_GENERAL_ERROR, not done
    double duplicate_probability = 0.0;  // share of replies sent twice
    uint32_t duplicate_delay_ms = 0;     // the second copy comes this much after the first
    // CMD_GETCRC_FLASH reports the flash CRC-32 XOR WRONG_FLASH_CRC_XOR, every time; the
    // announcement and flash_crc() keep the real one.
    bool wrong_flash_crc = false;
    // With wrong_flash_crc: only the first this many reports are wrong, the later ones right;
    // 0: every one.
    uint32_t wrong_crc_reports = 0;
    // Command codes received and counted, but neither carried out nor answered.
    std::set<uint32_t> mute{};
};

// One datagram to send back, after delay_ms, to the port the command named.
struct Reply {
    Bytes bytes;  // a 300-byte from_dev_update_t
    uint32_t delay_ms = 0;
    uint32_t to_port = 0;
};

class Bootloader {
public:
    explicit Bootloader(DeviceConfig config);

    // The 180-byte broadcast; each call takes the next frame number.
    Bytes announcement();
    // The replies to one received datagram: none for an invalid one, a muted command or a lost
    // reply.
    std::vector<Reply> handle(const uint8_t* data, size_t len);
    // Back into the bootloader after a reset: the flash stays, the session (unblocked flash,
    // accepted password, jump) is forgotten.
    void reboot();

    void set_faults(const Faults& faults);
    // Answers the next `times` commands with code `cmd` (0: all of them from then on) by
    // `result`, without carrying them out, after carrying out the first `after` of them.
    void refuse(uint32_t cmd, uint32_t result, uint32_t times, uint32_t after = 0);

    // A 288-byte command frame with the right version, magic number and CRC.
    static bool is_valid_command(const uint8_t* data, size_t len);

    const DeviceConfig& config() const { return config_; }
    const Bytes& flash() const { return flash_; }
    uint32_t flash_crc() const;
    bool jumped() const { return jumped_; }
    uint64_t commands_received(uint32_t cmd) const;
    uint64_t valid_commands() const { return valid_commands_; }
    uint64_t invalid_datagrams() const { return invalid_datagrams_; }
    uint64_t blocks_written() const { return blocks_written_; }
    // Commands answered with a refusal, listed (refuse) or drawn (refuse_probability).
    uint64_t commands_refused() const { return commands_refused_; }
    // Commands received with a code of Faults::mute: counted, not carried out, not answered.
    uint64_t commands_muted() const { return commands_muted_; }
    // What CMD_GETCRC_FLASH reports: flash_crc(), or a wrong one under Faults::wrong_flash_crc.
    uint32_t reported_flash_crc() const;

private:
    struct Outcome {
        uint32_t result = RES_GENERAL_ERROR;
        uint8_t ext[256] = {};
    };
    struct Refusal {
        uint32_t result;
        uint32_t remaining;  // 0 with `forever`
        bool forever;
        uint32_t after;  // carried out before the refusals begin
    };

    Outcome execute(const from_serv_update_t& cmd);
    bool take_refusal(uint32_t cmd, Outcome& out);
    Outcome get_config() const;
    Outcome unblock_flash();
    Outcome erase_up_flash();
    Outcome set_pass_bin(const from_serv_update_t& cmd);
    Outcome write_up_flash(const from_serv_update_t& cmd);
    Outcome getcrc_flash();
    Outcome jump_to_app();
    Bytes reply_frame(uint32_t cmd, const Outcome& out);
    uint32_t next_reply_number();
    std::vector<Reply> deliver(Bytes frame, uint32_t cmd, uint32_t to_port);
    bool draw(double probability);
    void flip_a_bit(Bytes& frame);

    DeviceConfig config_;
    Bytes flash_;
    Faults faults_;
    std::mt19937 rng_;
    std::map<uint32_t, Refusal> refusals_;

    bool flash_unblocked_ = false;
    bool password_accepted_ = false;
    bool jumped_ = false;

    uint32_t bcst_frames_ = 0;
    uint32_t reply_frames_ = 0;
    uint64_t valid_commands_ = 0;
    uint64_t invalid_datagrams_ = 0;
    uint64_t blocks_written_ = 0;
    uint64_t commands_refused_ = 0;
    uint64_t commands_muted_ = 0;
    uint64_t crc_reports_ = 0;  // replies to CMD_GETCRC_FLASH made
    std::map<uint32_t, uint64_t> received_by_cmd_;
};

}  // namespace qd::device
