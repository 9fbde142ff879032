// The device bootloader model: announcements, commands carried out on its flash, and its faults.
#include "device/bootloader.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "protocol/bytes.hpp"
#include "protocol/crc.hpp"

namespace qd::device {
namespace {

constexpr uint8_t ERASED = 0xFF;
// A damaged reply keeps its version and magic number, so that a receiver takes it for a reply
// with a wrong CRC rather than for foreign traffic.
constexpr uint32_t FIRST_DAMAGEABLE_BYTE = 8;

bool is_erased(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == ERASED; });
}

}  // namespace

Bootloader::Bootloader(DeviceConfig config)
    : config_(std::move(config)), flash_(IMAGE_SIZE, ERASED), rng_(faults_.seed) {
    if (config_.flash.size() > IMAGE_SIZE) {
        throw std::invalid_argument("initial flash larger than the UP1 area");
    }
    std::copy(config_.flash.begin(), config_.flash.end(), flash_.begin());
}

Bytes Bootloader::announcement() {
    from_dev_bcst_t b{};
    b.vers = FRAME_VERSION;
    b.magic_number = FRAME_MAGIC;
    b.ver_hw = config_.ver_hw;
    b.ver_bl = config_.ver_bl;
    b.num_key = config_.num_key;
    b.crc_bl = config_.crc_bl;
    std::copy(config_.mac.begin(), config_.mac.end(), b.my_mac);
    std::copy(config_.ip.begin(), config_.ip.end(), b.my_ip);
    b.my_port = config_.my_port;
    b.crc_uflash = flash_crc();
    b.n_frame = bcst_frames_++;
    seal(b);
    Bytes wire(sizeof b);
    to_wire(b, wire.data());
    return wire;
}

std::vector<Reply> Bootloader::handle(const uint8_t* data, size_t len) {
    if (!is_valid_command(data, len)) {
        ++invalid_datagrams_;
        return {};
    }
    from_serv_update_t cmd{};
    from_wire(data, cmd);
    ++valid_commands_;
    ++received_by_cmd_[cmd.cmd];
    if (faults_.mute.count(cmd.cmd) != 0) {
        ++commands_muted_;
        return {};
    }
    Outcome out;
    if (!take_refusal(cmd.cmd, out)) out = execute(cmd);
    return deliver(reply_frame(cmd.cmd, out), cmd.cmd, cmd.my_port);
}

void Bootloader::reboot() {
    flash_unblocked_ = false;
    password_accepted_ = false;
    jumped_ = false;
}

void Bootloader::set_faults(const Faults& faults) {
    faults_ = faults;
    rng_.seed(faults_.seed);
}

void Bootloader::refuse(uint32_t cmd, uint32_t result, uint32_t times, uint32_t after) {
    refusals_[cmd] = Refusal{result, times, times == 0, after};
}

uint32_t Bootloader::flash_crc() const {
    return fullcalk_crc32(flash_.data(), IMAGE_SIZE, CRC32_POLY);
}

uint32_t Bootloader::reported_flash_crc() const {
    const bool wrong = faults_.wrong_flash_crc &&
                       (faults_.wrong_crc_reports == 0 || crc_reports_ < faults_.wrong_crc_reports);
    return wrong ? flash_crc() ^ WRONG_FLASH_CRC_XOR : flash_crc();
}

uint64_t Bootloader::commands_received(uint32_t cmd) const {
    const auto it = received_by_cmd_.find(cmd);
    return it == received_by_cmd_.end() ? 0 : it->second;
}

bool Bootloader::is_valid_command(const uint8_t* data, size_t len) {
    if (len != sizeof(from_serv_update_t)) return false;
    from_serv_update_t cmd{};
    return check_frame(data, cmd).valid();
}

Bootloader::Outcome Bootloader::execute(const from_serv_update_t& cmd) {
    switch (cmd.cmd) {
        case CMD_NOP:
        case CMD_ACTIVATE_BL:
            return Outcome{RES_OK};
        case CMD_GET_CONFIG:
            return get_config();
        case CMD_UNBLOCK_FLASH:
            return unblock_flash();
        case CMD_ERASE_UP_FLASH:
            return erase_up_flash();
        case CMD_SET_PASS_BIN:
            return set_pass_bin(cmd);
        case CMD_WRITE_UP_FLASH:
            return write_up_flash(cmd);
        case CMD_GETCRC_FLASH:
            return getcrc_flash();
        case CMD_JUMP_TO_APP:
            return jump_to_app();
        default:
            return Outcome{RES_GENERAL_ERROR};
    }
}

// A listed refusal comes first; otherwise the command may be refused at random.
bool Bootloader::take_refusal(uint32_t cmd, Outcome& out) {
    const auto it = refusals_.find(cmd);
    Refusal* listed = it != refusals_.end() ? &it->second : nullptr;
    if (listed != nullptr && listed->after > 0) {
        --listed->after;
        listed = nullptr;
    }
    if (listed != nullptr && (listed->forever || listed->remaining != 0)) {
        if (!listed->forever) --listed->remaining;
        out = Outcome{listed->result};
    } else if (draw(faults_.refuse_probability)) {
        out = Outcome{RES_GENERAL_ERROR};
    } else {
        return false;
    }
    ++commands_refused_;
    return true;
}

Bootloader::Outcome Bootloader::get_config() const {
    Outcome out{RES_OK};
    out.ext[0] = config_.config_bits;
    return out;
}

Bootloader::Outcome Bootloader::unblock_flash() {
    flash_unblocked_ = true;
    return Outcome{RES_OK};
}

Bootloader::Outcome Bootloader::erase_up_flash() {
    if ((config_.config_bits & CONFIG_PROGRAMMING_POSSIBLE) == 0) {
        return Outcome{RES_BLOCKED_BY_JUMPER};
    }
    if (!flash_unblocked_) return Outcome{RES_FLASH_LOCK};
    std::fill(flash_.begin(), flash_.end(), ERASED);
    password_accepted_ = false;
    return Outcome{RES_OK};
}

// A wrong password withdraws one accepted before.
Bootloader::Outcome Bootloader::set_pass_bin(const from_serv_update_t& cmd) {
    password_accepted_ = byte_to_int(cmd.ext_area, 0) == config_.bin_password;
    return Outcome{password_accepted_ ? RES_OK : RES_BAD_BIN_PASSWORD};
}

// A block may go over erased flash, or over itself: a block whose reply was lost comes again
// with the same bytes and must be accepted.
Bootloader::Outcome Bootloader::write_up_flash(const from_serv_update_t& cmd) {
    if (!password_accepted_) return Outcome{RES_BAD_BIN_PASSWORD};
    const uint32_t address = cmd.f_address;
    if (address % WRITE_BLOCK_SIZE != 0 || address < FLASH_BASE || address > FLASH_LAST_BLOCK) {
        return Outcome{RES_ADDRESS_ERROR};
    }
    uint8_t* block = flash_.data() + (address - FLASH_BASE);
    const bool same = std::equal(cmd.ext_area, cmd.ext_area + WRITE_BLOCK_SIZE, block);
    if (!same && !is_erased(block, WRITE_BLOCK_SIZE)) return Outcome{RES_PAGE_NOT_ERASED};
    std::copy(cmd.ext_area, cmd.ext_area + WRITE_BLOCK_SIZE, block);
    ++blocks_written_;
    return Outcome{RES_OK};
}

Bootloader::Outcome Bootloader::getcrc_flash() {
    Outcome out{RES_OK};
    const uint32_t crc = reported_flash_crc();
    ++crc_reports_;
    int_to_byte(&crc, out.ext, 0);
    return out;
}

Bootloader::Outcome Bootloader::jump_to_app() {
    jumped_ = true;
    return Outcome{RES_OK};
}

uint32_t Bootloader::next_reply_number() {
    switch (config_.reply_counter) {
        case ReplyCounter::replies:
            return reply_frames_++;
        case ReplyCounter::announcements:
            return bcst_frames_;
        case ReplyCounter::still:
            break;
    }
    return 0;
}

Bytes Bootloader::reply_frame(uint32_t cmd, const Outcome& out) {
    from_dev_update_t r{};
    r.vers = FRAME_VERSION;
    r.magic_number = FRAME_MAGIC;
    std::copy(config_.mac.begin(), config_.mac.end(), r.my_mac);
    std::copy(config_.ip.begin(), config_.ip.end(), r.my_ip);
    r.my_port = config_.my_port;
    r.n_frame = next_reply_number();
    r.get_cmd = cmd;
    r.get_result = out.result;
    r.time_proc = config_.time_proc;
    std::memcpy(r.ext_area, out.ext, sizeof r.ext_area);
    seal(r);
    Bytes wire(sizeof r);
    to_wire(r, wire.data());
    return wire;
}

std::vector<Reply> Bootloader::deliver(Bytes frame, uint32_t cmd, uint32_t to_port) {
    const uint64_t number = valid_commands_;
    if (faults_.lose.count(number) != 0 || draw(faults_.loss_probability)) return {};
    if (faults_.damage.count(number) != 0 || draw(faults_.damage_probability)) flip_a_bit(frame);
    const auto delay = faults_.delay_by_cmd.find(cmd);
    const uint32_t delay_ms =
        delay == faults_.delay_by_cmd.end() ? faults_.delay_ms : delay->second;
    std::vector<Reply> replies{Reply{std::move(frame), delay_ms, to_port}};
    if (faults_.duplicate || draw(faults_.duplicate_probability)) {
        replies.push_back(replies.front());
        replies.back().delay_ms += faults_.duplicate_delay_ms;
    }
    return replies;
}

// Compares a raw draw of the generator with the probability scaled to its range, so that the
// same seed gives the same faults with any standard library.
bool Bootloader::draw(double probability) {
    if (probability <= 0.0) return false;
    constexpr double RANGE = 4294967296.0;  // 2^32, the generator's range
    return static_cast<double>(rng_()) < probability * RANGE;
}

void Bootloader::flip_a_bit(Bytes& frame) {
    const uint32_t span = static_cast<uint32_t>(frame.size()) - FIRST_DAMAGEABLE_BYTE;
    const uint32_t at = FIRST_DAMAGEABLE_BYTE + static_cast<uint32_t>(rng_() % span);
    frame[at] = static_cast<uint8_t>(frame[at] ^ (1u << (rng_() % 8)));
}

}  // namespace qd::device
