// The device bootloader model: frames, commands, flash and faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "device/bootloader.hpp"
#include "device/program_file.hpp"
#include "protocol/bytes.hpp"
#include "protocol/constants.hpp"
#include "protocol/crc.hpp"
#include "protocol/frames.hpp"
#include "server/net/exchange.hpp"
#include "server/server.hpp"
#include "support/device_link.hpp"
#include "support/fakes.hpp"
#include "support/temp_dir.hpp"

namespace qd {
namespace {

using device::Bootloader;
using device::Bytes;
using device::DeviceConfig;
using device::Faults;
using device::Reply;
using device::ReplyCounter;

constexpr uint32_t PASSWORD = 0x12345678;
constexpr uint32_t LAST_BLOCK = 0x0802DF00;

DeviceConfig test_config() {
    DeviceConfig c;
    c.mac = {10, 20, 30, 40, 50, 60};
    c.ip = {198, 18, 0, 2};
    c.my_port = 5008;
    c.ver_hw = 3;
    c.ver_bl = 2;
    c.num_key = 7;
    c.crc_bl = 0xB007C0DE;
    c.bin_password = PASSWORD;
    c.config_bits = device::CONFIG_PROGRAMMING_POSSIBLE | device::CONFIG_GOES_TO_UP1;
    c.time_proc = 42;
    return c;
}

// IMAGE_SIZE reproducible bytes standing for a firmware image.
Bytes image_bytes(uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes img(IMAGE_SIZE);
    for (auto& b : img) b = static_cast<uint8_t>(gen());
    return img;
}

Bytes le32(uint32_t v) {
    Bytes b(4);
    int_to_byte(&v, b.data(), 0);
    return b;
}

Bytes block_of(const Bytes& img, uint32_t index) {
    const auto from = img.begin() + static_cast<std::ptrdiff_t>(index * WRITE_BLOCK_SIZE);
    return Bytes(from, from + WRITE_BLOCK_SIZE);
}

// A command as the server builds it, before its CRC.
from_serv_update_t command(uint32_t cmd, uint32_t f_address = 0, const Bytes& ext = {}) {
    from_serv_update_t f{};
    f.vers = FRAME_VERSION;
    f.magic_number = FRAME_MAGIC;
    f.my_port = UPDATE_PORT;
    f.cmd = cmd;
    f.f_address = f_address;
    std::copy_n(ext.begin(), std::min<size_t>(ext.size(), sizeof f.ext_area), f.ext_area);
    return f;
}

// The wire form with crc_struct set over bytes 0..283.
Bytes wire_of(from_serv_update_t f) {
    seal(f);
    Bytes wire(sizeof f);
    to_wire(f, wire.data());
    return wire;
}

from_dev_update_t reply_of(const Bytes& wire) {
    from_dev_update_t r{};
    from_wire(wire.data(), r);
    return r;
}

from_dev_bcst_t from_bcst(const Bytes& wire) {
    from_dev_bcst_t b{};
    from_wire(wire.data(), b);
    return b;
}

bool reply_crc_ok(const Bytes& wire) {
    return sealed(wire.data(), REPLY_CRC_LEN);
}

// One step of a dialogue.
struct Cmd {
    uint32_t code;
    uint32_t f_address = 0;
    Bytes ext = {};
};

const Cmd kUnblock{CMD_UNBLOCK_FLASH};
const Cmd kErase{CMD_ERASE_UP_FLASH};
const Cmd kPassOk{CMD_SET_PASS_BIN, 0, le32(PASSWORD)};
const Cmd kPassBad{CMD_SET_PASS_BIN, 0, le32(PASSWORD ^ 0x01000000)};

Cmd write_cmd(uint32_t address, uint8_t fill) {
    return Cmd{CMD_WRITE_UP_FLASH, address, Bytes(WRITE_BLOCK_SIZE, fill)};
}

class Device : public ::testing::Test {
protected:
    std::vector<Reply> send(const Cmd& c) { return send_wire(wire_of(framed(c))); }
    std::vector<Reply> send_wire(const Bytes& wire) { return dev.handle(wire.data(), wire.size()); }

    from_serv_update_t framed(const Cmd& c) {
        from_serv_update_t f = command(c.code, c.f_address, c.ext);
        f.n_frame = n_frame++;
        return f;
    }

    // The one reply to a command, decoded.
    from_dev_update_t ask(const Cmd& c) {
        const std::vector<Reply> replies = send(c);
        if (replies.size() != 1) {
            ADD_FAILURE() << "command " << c.code << " got " << replies.size() << " replies";
            return from_dev_update_t{};
        }
        EXPECT_EQ(replies[0].bytes.size(), sizeof(from_dev_update_t));
        EXPECT_TRUE(reply_crc_ok(replies[0].bytes));
        return reply_of(replies[0].bytes);
    }

    uint32_t result_of(const Cmd& c) { return ask(c).get_result; }

    Bootloader dev{test_config()};
    uint32_t n_frame = 0;
};

// ---- Command results ----

struct ResultCase {
    std::string name;
    uint8_t config_bits;
    bool programmed;  // the flash starts with a program in it instead of erased
    std::vector<Cmd> before;
    Cmd cmd;
    uint32_t result;
};

class CommandResults : public ::testing::TestWithParam<ResultCase> {};

TEST_P(CommandResults, AnswerAndEffectFollowThePreconditions) {
    const ResultCase& tc = GetParam();
    DeviceConfig cfg = test_config();
    cfg.config_bits = tc.config_bits;
    if (tc.programmed) cfg.flash = image_bytes(5);
    Bootloader dev(cfg);
    uint32_t n = 0;
    const auto send = [&](const Cmd& c) {
        from_serv_update_t f = command(c.code, c.f_address, c.ext);
        f.n_frame = n++;
        const Bytes wire = wire_of(f);
        return dev.handle(wire.data(), wire.size());
    };
    for (const Cmd& c : tc.before) send(c);
    const Bytes flash_before = dev.flash();
    const uint64_t written_before = dev.blocks_written();

    const std::vector<Reply> replies = send(tc.cmd);

    ASSERT_EQ(replies.size(), 1u);
    const from_dev_update_t r = reply_of(replies[0].bytes);
    EXPECT_EQ(r.get_cmd, tc.cmd.code);
    EXPECT_EQ(r.get_result, tc.result);
    const bool wrote = tc.cmd.code == CMD_WRITE_UP_FLASH && tc.result == RES_OK;
    EXPECT_EQ(dev.blocks_written(), written_before + (wrote ? 1 : 0));
    if (tc.result != RES_OK) {
        EXPECT_EQ(dev.flash(), flash_before) << "a refused command changed the flash";
    }
    if (wrote) {
        const auto at = static_cast<std::ptrdiff_t>(tc.cmd.f_address - FLASH_BASE);
        const Bytes block(dev.flash().begin() + at, dev.flash().begin() + at + WRITE_BLOCK_SIZE);
        EXPECT_EQ(block, tc.cmd.ext);
    }
}

constexpr uint8_t kFree = device::CONFIG_PROGRAMMING_POSSIBLE | device::CONFIG_GOES_TO_UP1;
constexpr uint8_t kJumper = device::CONFIG_GOES_TO_UP1;

Bytes password_then_tail() {
    Bytes ext = le32(PASSWORD);
    ext.resize(WRITE_BLOCK_SIZE, 0xA5);  // what the server's payload buffer still holds
    return ext;
}

const std::vector<Cmd> kReady{kUnblock, kErase, kPassOk};

std::vector<Cmd> ready_then(std::initializer_list<Cmd> more) {
    std::vector<Cmd> v = kReady;
    v.insert(v.end(), more);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandResults,
    ::testing::Values(
        ResultCase{"nop", kFree, true, {}, Cmd{CMD_NOP}, RES_OK},
        ResultCase{"activate_bl", kFree, true, {}, Cmd{CMD_ACTIVATE_BL}, RES_OK},
        ResultCase{"get_config", kJumper, true, {}, Cmd{CMD_GET_CONFIG}, RES_OK},
        ResultCase{"unblock", kFree, true, {}, kUnblock, RES_OK},
        ResultCase{"erase_while_locked", kFree, true, {}, kErase, RES_FLASH_LOCK},
        ResultCase{"erase_under_jumper", kJumper, true, {kUnblock}, kErase, RES_BLOCKED_BY_JUMPER},
        ResultCase{"jumper_before_lock", kJumper, true, {}, kErase, RES_BLOCKED_BY_JUMPER},
        ResultCase{"erase_unblocked", kFree, true, {kUnblock}, kErase, RES_OK},
        ResultCase{"password_right", kFree, true, {}, kPassOk, RES_OK},
        ResultCase{"password_with_tail", kFree, true, {},
                   Cmd{CMD_SET_PASS_BIN, 0, password_then_tail()}, RES_OK},
        ResultCase{"password_wrong", kFree, true, {}, kPassBad, RES_BAD_BIN_PASSWORD},
        ResultCase{"password_big_endian", kFree, true, {},
                   Cmd{CMD_SET_PASS_BIN, 0, Bytes{0x12, 0x34, 0x56, 0x78}}, RES_BAD_BIN_PASSWORD},
        ResultCase{"write_without_password", kFree, true, {kUnblock, kErase},
                   write_cmd(FLASH_BASE, 1), RES_BAD_BIN_PASSWORD},
        ResultCase{"write_password_before_erase", kFree, true, {kUnblock, kPassOk, kErase},
                   write_cmd(FLASH_BASE, 1), RES_BAD_BIN_PASSWORD},
        ResultCase{"write_after_wrong_password", kFree, true, ready_then({kPassBad}),
                   write_cmd(FLASH_BASE, 1), RES_BAD_BIN_PASSWORD},
        ResultCase{"write_first_block", kFree, true, kReady, write_cmd(FLASH_BASE, 1), RES_OK},
        ResultCase{"write_last_block", kFree, true, kReady, write_cmd(LAST_BLOCK, 2), RES_OK},
        ResultCase{"write_unaligned", kFree, true, kReady, write_cmd(FLASH_BASE + 0x80, 3),
                   RES_ADDRESS_ERROR},
        ResultCase{"write_below_base", kFree, true, kReady, write_cmd(FLASH_BASE - 0x100, 3),
                   RES_ADDRESS_ERROR},
        ResultCase{"write_past_end", kFree, true, kReady, write_cmd(LAST_BLOCK + 0x100, 3),
                   RES_ADDRESS_ERROR},
        ResultCase{"write_address_zero", kFree, true, kReady, write_cmd(0, 3), RES_ADDRESS_ERROR},
        ResultCase{"write_over_program", kFree, true, {kPassOk}, write_cmd(FLASH_BASE, 4),
                   RES_PAGE_NOT_ERASED},
        ResultCase{"write_erased_at_power_on", kFree, false, {kPassOk}, write_cmd(FLASH_BASE, 4),
                   RES_OK},
        ResultCase{"rewrite_same_block", kFree, true, ready_then({write_cmd(FLASH_BASE + 0x100, 5)}),
                   write_cmd(FLASH_BASE + 0x100, 5), RES_OK},
        ResultCase{"rewrite_other_data", kFree, true,
                   ready_then({write_cmd(FLASH_BASE + 0x100, 5)}), write_cmd(FLASH_BASE + 0x100, 6),
                   RES_PAGE_NOT_ERASED},
        ResultCase{"getcrc", kFree, true, {}, Cmd{CMD_GETCRC_FLASH}, RES_OK},
        ResultCase{"jump", kFree, true, {}, Cmd{CMD_JUMP_TO_APP}, RES_OK},
        ResultCase{"code_8", kFree, true, {}, Cmd{8}, RES_GENERAL_ERROR},
        ResultCase{"code_10", kFree, true, {}, Cmd{10}, RES_GENERAL_ERROR},
        ResultCase{"code_256_is_not_nop", kFree, true, {}, Cmd{256}, RES_GENERAL_ERROR}),
    [](const auto& tc) { return tc.param.name; });

TEST(DeviceConfigByte, GetConfigReportsItInPayloadByte0) {
    for (const uint8_t bits : {uint8_t{0x00}, uint8_t{0x01}, uint8_t{0x02}, uint8_t{0x03}}) {
        DeviceConfig cfg = test_config();
        cfg.config_bits = bits;
        Bootloader dev(cfg);
        const std::vector<Reply> replies = dev.handle(wire_of(command(CMD_GET_CONFIG)).data(), 288);
        ASSERT_EQ(replies.size(), 1u);
        const from_dev_update_t r = reply_of(replies[0].bytes);
        EXPECT_EQ(r.ext_area[0], bits);
        EXPECT_TRUE(std::all_of(r.ext_area + 1, r.ext_area + 256, [](uint8_t b) { return b == 0; }));
    }
}

// ---- Frames ----

TEST_F(Device, ReplyNamesTheDeviceAndCountsItsOwnFrames) {
    from_serv_update_t f = command(CMD_NOP);
    f.n_frame = 900;
    f.my_port = 6001;
    const std::vector<Reply> first = send_wire(wire_of(f));
    f.n_frame = 5;
    const std::vector<Reply> second = send_wire(wire_of(f));
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0].to_port, 6001u);
    for (const auto& [reply, n] : {std::pair{first[0], 0u}, std::pair{second[0], 1u}}) {
        ASSERT_EQ(reply.bytes.size(), 300u);
        EXPECT_TRUE(reply_crc_ok(reply.bytes));
        const from_dev_update_t r = reply_of(reply.bytes);
        EXPECT_EQ(r.vers, FRAME_VERSION);
        EXPECT_EQ(r.magic_number, FRAME_MAGIC);
        EXPECT_EQ(Bytes(r.my_mac, r.my_mac + 6), (Bytes{10, 20, 30, 40, 50, 60}));
        EXPECT_EQ(Bytes(r.my_ip, r.my_ip + 4), (Bytes{198, 18, 0, 2}));
        EXPECT_EQ(r.my_port, 5008u);
        EXPECT_EQ(r.n_frame, n);
        EXPECT_EQ(r.get_cmd, static_cast<uint32_t>(CMD_NOP));
        EXPECT_EQ(r.time_proc, 42u);
    }
}

// Replies numbered per reply, with the announcements' number, or not at all: the numbers of
// a reply, another reply, an announcement and a reply after it.
TEST(DeviceReplyCounter, EachKindNumbersItsReplies) {
    struct Case {
        ReplyCounter kind;
        std::array<uint32_t, 3> replies;
    };
    for (const Case& c : {Case{ReplyCounter::replies, {0, 1, 2}},
                          Case{ReplyCounter::announcements, {1, 1, 2}},
                          Case{ReplyCounter::still, {0, 0, 0}}}) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        DeviceConfig config = test_config();
        config.reply_counter = c.kind;
        Bootloader dev(config);
        const Bytes nop = wire_of(command(CMD_NOP));
        std::vector<uint32_t> numbers;
        const auto reply_number = [&] {
            const std::vector<Reply> r = dev.handle(nop.data(), nop.size());
            return r.size() == 1 ? reply_of(r[0].bytes).n_frame : 0xFFFFFFFFu;
        };
        EXPECT_EQ(from_bcst(dev.announcement()).n_frame, 0u);
        numbers.push_back(reply_number());
        numbers.push_back(reply_number());
        EXPECT_EQ(from_bcst(dev.announcement()).n_frame, 1u) << "announcements keep their count";
        numbers.push_back(reply_number());
        EXPECT_EQ(numbers, std::vector<uint32_t>(c.replies.begin(), c.replies.end()));
    }
}

TEST(DeviceAnnouncement, DescribesTheDeviceAndItsFlash) {
    DeviceConfig cfg = test_config();
    cfg.flash = Bytes{1, 2, 3};
    Bootloader dev(cfg);
    Bytes expected_flash(IMAGE_SIZE, 0xFF);
    std::copy_n(cfg.flash.begin(), 3, expected_flash.begin());
    ASSERT_EQ(dev.flash(), expected_flash);

    for (uint32_t n = 0; n < 3; ++n) {
        const Bytes wire = dev.announcement();
        ASSERT_EQ(wire.size(), 180u);
        from_dev_bcst_t b{};
        from_wire(wire.data(), b);
        EXPECT_TRUE(sealed(wire.data(), BCST_CRC_LEN));
        EXPECT_EQ(b.vers, FRAME_VERSION);
        EXPECT_EQ(b.magic_number, FRAME_MAGIC);
        EXPECT_EQ(b.ver_hw, 3u);
        EXPECT_EQ(b.ver_bl, 2u);
        EXPECT_EQ(b.num_key, 7u);
        EXPECT_EQ(b.crc_bl, 0xB007C0DEu);
        EXPECT_EQ(Bytes(b.my_mac, b.my_mac + 6), (Bytes{10, 20, 30, 40, 50, 60}));
        EXPECT_EQ(Bytes(b.my_ip, b.my_ip + 4), (Bytes{198, 18, 0, 2}));
        EXPECT_EQ(b.my_port, 5008u);
        EXPECT_EQ(b.crc_uflash, fullcalk_crc32(expected_flash.data(), IMAGE_SIZE, CRC32_POLY));
        EXPECT_EQ(b.n_frame, n);
    }
}

TEST(DeviceFlash, RefusesAnInitialFlashLargerThanTheArea) {
    DeviceConfig cfg = test_config();
    cfg.flash = Bytes(IMAGE_SIZE + 1, 0);
    EXPECT_THROW(Bootloader{cfg}, std::invalid_argument);
}

// ---- A whole update ----

TEST_F(Device, FullUpdateWritesTheImageAndReportsItsCrc) {
    DeviceConfig cfg = test_config();
    cfg.flash = image_bytes(1);  // the old program
    dev = Bootloader(cfg);
    const Bytes img = image_bytes(2);
    const uint32_t img_crc = fullcalk_crc32(img.data(), IMAGE_SIZE, CRC32_POLY);
    // The payload buffer carries the password over the last block of an earlier dialogue.
    Bytes pass = block_of(img, 479);
    std::copy_n(le32(PASSWORD).begin(), 4, pass.begin());

    for (const Cmd& c : {Cmd{CMD_NOP}, Cmd{CMD_ACTIVATE_BL}, Cmd{CMD_GET_CONFIG}, kUnblock, kErase,
                         Cmd{CMD_SET_PASS_BIN, LAST_BLOCK, pass}}) {
        ASSERT_EQ(result_of(c), RES_OK) << "command " << c.code;
    }
    for (uint32_t i = 0; i < IMAGE_SIZE / WRITE_BLOCK_SIZE; ++i) {
        ASSERT_EQ(result_of(Cmd{CMD_WRITE_UP_FLASH, FLASH_BASE + i * WRITE_BLOCK_SIZE,
                                block_of(img, i)}),
                  RES_OK)
            << "block " << i;
    }
    const from_dev_update_t crc = ask(Cmd{CMD_GETCRC_FLASH, LAST_BLOCK, block_of(img, 479)});
    EXPECT_FALSE(dev.jumped());
    EXPECT_EQ(result_of(Cmd{CMD_JUMP_TO_APP, LAST_BLOCK, block_of(img, 479)}), RES_OK);

    EXPECT_EQ(dev.flash(), img);
    EXPECT_EQ(crc.get_result, RES_OK);
    EXPECT_EQ(byte_to_int(crc.ext_area, 0), img_crc);
    EXPECT_EQ(dev.flash_crc(), img_crc);
    from_dev_bcst_t b{};
    from_wire(dev.announcement().data(), b);
    EXPECT_EQ(b.crc_uflash, img_crc);
    EXPECT_TRUE(dev.jumped());
    EXPECT_EQ(dev.blocks_written(), 480u);
    EXPECT_EQ(dev.commands_received(CMD_WRITE_UP_FLASH), 480u);
    EXPECT_EQ(dev.commands_received(CMD_ERASE_UP_FLASH), 1u);
    EXPECT_EQ(dev.commands_received(CMD_JUMP_TO_APP), 1u);
    EXPECT_EQ(dev.valid_commands(), 488u);
    EXPECT_EQ(dev.invalid_datagrams(), 0u);
}

TEST_F(Device, RebootForgetsTheSessionButKeepsTheFlash) {
    ASSERT_EQ(result_of(kUnblock), RES_OK);
    ASSERT_EQ(result_of(kPassOk), RES_OK);
    ASSERT_EQ(result_of(write_cmd(FLASH_BASE, 0x5A)), RES_OK);
    ASSERT_EQ(result_of(Cmd{CMD_JUMP_TO_APP}), RES_OK);
    const Bytes flash = dev.flash();

    dev.reboot();

    EXPECT_FALSE(dev.jumped());
    EXPECT_EQ(dev.flash(), flash);
    EXPECT_EQ(result_of(write_cmd(FLASH_BASE + 0x100, 0x5A)), RES_BAD_BIN_PASSWORD);
    EXPECT_EQ(result_of(kErase), RES_FLASH_LOCK);
}

// ---- Datagrams that are not commands ----

struct InvalidCase {
    std::string name;
    std::function<Bytes()> make;  // an UNBLOCK command spoilt in one way
};

class InvalidDatagrams : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(InvalidDatagrams, AreIgnoredAndCounted) {
    Bootloader dev(test_config());
    const Bytes bad = GetParam().make();

    EXPECT_TRUE(dev.handle(bad.data(), bad.size()).empty());

    EXPECT_EQ(dev.invalid_datagrams(), 1u);
    EXPECT_EQ(dev.valid_commands(), 0u);
    EXPECT_EQ(dev.commands_received(CMD_UNBLOCK_FLASH), 0u);
    const Bytes erase = wire_of(command(CMD_ERASE_UP_FLASH));
    const std::vector<Reply> r = dev.handle(erase.data(), erase.size());
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(reply_of(r[0].bytes).get_result, RES_FLASH_LOCK) << "the spoilt UNBLOCK was carried out";
}

Bytes unblock_with(const std::function<void(from_serv_update_t&)>& change) {
    from_serv_update_t f = command(CMD_UNBLOCK_FLASH);
    change(f);
    return wire_of(f);
}

Bytes unblock_wire_with(const std::function<void(Bytes&)>& change) {
    Bytes w = wire_of(command(CMD_UNBLOCK_FLASH));
    change(w);
    return w;
}

INSTANTIATE_TEST_SUITE_P(
    Table, InvalidDatagrams,
    ::testing::Values(
        InvalidCase{"empty", [] { return Bytes{}; }},
        InvalidCase{"one_byte_short", [] { return unblock_wire_with([](Bytes& w) { w.pop_back(); }); }},
        InvalidCase{"one_byte_long",
                    [] { return unblock_wire_with([](Bytes& w) { w.push_back(0); }); }},
        InvalidCase{"reply_sized",
                    [] { return unblock_wire_with([](Bytes& w) { w.resize(300, 0); }); }},
        InvalidCase{"version_2", [] { return unblock_with([](from_serv_update_t& f) { f.vers = 2; }); }},
        InvalidCase{"other_magic",
                    [] { return unblock_with([](from_serv_update_t& f) { ++f.magic_number; }); }},
        InvalidCase{"crc_field_wrong", [] { return unblock_wire_with([](Bytes& w) { w[284] ^= 1; }); }},
        InvalidCase{"payload_changed_after_crc",
                    [] { return unblock_wire_with([](Bytes& w) { w[283] ^= 0x80; }); }}),
    [](const auto& tc) { return tc.param.name; });

// ---- Faults ----

// Which of `count` NOP commands got at least one reply.
std::vector<bool> answered_nops(Bootloader& dev, uint32_t count) {
    std::vector<bool> answered;
    for (uint32_t i = 0; i < count; ++i) {
        const Bytes w = wire_of(command(CMD_NOP));
        answered.push_back(!dev.handle(w.data(), w.size()).empty());
    }
    return answered;
}

TEST_F(Device, LosesTheRepliesOfThePatternButCarriesTheCommandsOut) {
    Faults f;
    f.lose = {3, 7, 8};
    dev.set_faults(f);
    EXPECT_EQ(answered_nops(dev, 2), (std::vector<bool>{true, true}));
    EXPECT_TRUE(send(kUnblock).empty());  // command number 3
    EXPECT_EQ(answered_nops(dev, 7),
              (std::vector<bool>{true, true, true, false, false, true, true}));
    EXPECT_EQ(result_of(kErase), RES_OK) << "the unblock whose reply was lost was not carried out";
    EXPECT_EQ(dev.valid_commands(), 11u);
}

TEST(DeviceFaults, LossByProbabilityRepeatsForASeed) {
    constexpr uint32_t N = 200;
    Faults f;
    f.loss_probability = 0.3;
    f.seed = 7;
    const auto run = [&](const Faults& faults) {
        Bootloader dev(test_config());
        dev.set_faults(faults);
        return answered_nops(dev, N);
    };
    const std::vector<bool> a = run(f);
    EXPECT_EQ(run(f), a);
    const auto lost = static_cast<uint32_t>(std::count(a.begin(), a.end(), false));
    EXPECT_GT(lost, N / 10);
    EXPECT_LT(lost, N / 2);
    Faults other = f;
    other.seed = 8;
    EXPECT_NE(run(other), a);
    f.loss_probability = 1.0;
    EXPECT_EQ(run(f), std::vector<bool>(N, false));
    f.loss_probability = 0.0;
    EXPECT_EQ(run(f), std::vector<bool>(N, true));
}

// For each of `count` writes of the same block: its result and how many replies it got.
struct WriteOutcome {
    std::vector<uint32_t> results;
    std::vector<size_t> replies;
    std::vector<bool> damaged;  // the first reply's CRC is wrong
    uint64_t written = 0;
    uint64_t refused = 0;
};

WriteOutcome write_repeatedly(const Faults& faults, uint32_t count) {
    Bootloader dev(test_config());
    for (const Cmd& c : {kUnblock, kErase, kPassOk}) {
        const Bytes w = wire_of(command(c.code, c.f_address, c.ext));
        dev.handle(w.data(), w.size());
    }
    dev.set_faults(faults);
    WriteOutcome out;
    const Bytes w = wire_of(command(CMD_WRITE_UP_FLASH, FLASH_BASE, Bytes(WRITE_BLOCK_SIZE, 7)));
    for (uint32_t n = 0; n < count; ++n) {
        const std::vector<Reply> r = dev.handle(w.data(), w.size());
        out.replies.push_back(r.size());
        out.results.push_back(r.empty() ? RES_OK : reply_of(r[0].bytes).get_result);
        out.damaged.push_back(!r.empty() && !reply_crc_ok(r[0].bytes));
        if (r.size() == 2) {
            EXPECT_EQ(r[0].bytes, r[1].bytes) << "a duplicate is the same frame";
        }
    }
    out.written = dev.blocks_written();
    out.refused = dev.commands_refused();
    return out;
}

// Refusals and duplicates drawn at random: the same for a seed, none at share 0, all at 1; a
// refused command is answered RES_GENERAL_ERROR and not carried out.
TEST(DeviceFaults, RefusalsAndDuplicatesByShareRepeatForASeed) {
    constexpr uint32_t N = 200;
    Faults f;
    f.seed = 11;
    f.refuse_probability = 0.2;
    f.duplicate_probability = 0.2;
    const WriteOutcome a = write_repeatedly(f, N);
    const WriteOutcome again = write_repeatedly(f, N);
    EXPECT_EQ(again.results, a.results);
    EXPECT_EQ(again.replies, a.replies);
    const auto refused = static_cast<uint64_t>(
        std::count(a.results.begin(), a.results.end(), RES_GENERAL_ERROR));
    const auto doubled = static_cast<uint64_t>(std::count(a.replies.begin(), a.replies.end(), 2u));
    EXPECT_EQ(a.refused, refused);
    EXPECT_EQ(a.written, N - refused) << "a refused write was carried out";
    EXPECT_GT(refused, N / 20);
    EXPECT_LT(refused, N / 2);
    EXPECT_GT(doubled, N / 20);
    EXPECT_LT(doubled, N / 2);
    Faults other = f;
    other.seed = 12;
    EXPECT_NE(write_repeatedly(other, N).results, a.results);

    f.refuse_probability = 1.0;
    f.duplicate_probability = 1.0;
    const WriteOutcome all = write_repeatedly(f, N);
    EXPECT_EQ(all.results, std::vector<uint32_t>(N, RES_GENERAL_ERROR));
    EXPECT_EQ(all.replies, std::vector<size_t>(N, 2u));
    EXPECT_EQ(all.written, 0u);
    const WriteOutcome none = write_repeatedly(Faults{.seed = 11}, N);
    EXPECT_EQ(none.results, std::vector<uint32_t>(N, RES_OK));
    EXPECT_EQ(none.replies, std::vector<size_t>(N, 1u));
    EXPECT_EQ(none.refused, 0u);
}

size_t bits_differing(const Bytes& a, const Bytes& b) {
    size_t n = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        n += static_cast<size_t>(std::popcount(static_cast<unsigned>(a[i] ^ b[i])));
    }
    return n;
}

// Sends `count` GET_CONFIG commands to a device with `faults` and to a faultless twin; for each
// reply, whether it was damaged. A damaged reply differs from the twin's in exactly one bit, and
// keeps its length, version and magic number, so that a receiver takes it for a damaged reply.
std::vector<bool> damaged_replies(const Faults& faults, uint32_t count) {
    Bootloader clean(test_config());
    Bootloader dev(test_config());
    dev.set_faults(faults);
    std::vector<bool> damaged;
    for (uint32_t n = 0; n < count; ++n) {
        const Bytes w = wire_of(command(CMD_GET_CONFIG));
        const std::vector<Reply> good = clean.handle(w.data(), w.size());
        const std::vector<Reply> got = dev.handle(w.data(), w.size());
        if (got.size() != 1 || got[0].bytes.size() != 300) {
            ADD_FAILURE() << "no single 300-byte reply to command " << n + 1;
            break;
        }
        const from_dev_update_t r = reply_of(got[0].bytes);
        EXPECT_EQ(r.vers, FRAME_VERSION);
        EXPECT_EQ(r.magic_number, FRAME_MAGIC);
        const size_t bits = bits_differing(got[0].bytes, good[0].bytes);
        EXPECT_LE(bits, 1u);
        EXPECT_EQ(reply_crc_ok(got[0].bytes), bits == 0);
        damaged.push_back(bits == 1);
    }
    return damaged;
}

TEST(DeviceFaults, DamagesTheRepliesOfThePattern) {
    EXPECT_EQ(damaged_replies(Faults{.damage = {2, 4}}, 5),
              (std::vector<bool>{false, true, false, true, false}));
}

TEST(DeviceFaults, DamageByProbabilitySparesTheHeader) {
    EXPECT_EQ(damaged_replies(Faults{.damage_probability = 1.0}, 400), std::vector<bool>(400, true));
}

TEST_F(Device, RefusesACommandNTimesWithoutCarryingItOut) {
    DeviceConfig cfg = test_config();
    cfg.flash = image_bytes(3);
    dev = Bootloader(cfg);
    dev.refuse(CMD_ERASE_UP_FLASH, RES_PAGE_NOT_WRITTEN, 2);
    ASSERT_EQ(result_of(kUnblock), RES_OK);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(result_of(kErase), RES_PAGE_NOT_WRITTEN);
        EXPECT_EQ(dev.flash(), cfg.flash);
        EXPECT_EQ(result_of(Cmd{CMD_NOP}), RES_OK) << "another command was refused";
    }
    EXPECT_EQ(result_of(kErase), RES_OK);
    EXPECT_EQ(dev.flash(), Bytes(IMAGE_SIZE, 0xFF));
    EXPECT_EQ(dev.commands_received(CMD_ERASE_UP_FLASH), 3u);
    EXPECT_EQ(dev.commands_refused(), 2u);
}

// A flash that fails from some page on: the first commands are carried out, every later one is
// refused.
TEST_F(Device, RefusesACommandForEverAfterCarryingOutTheFirstOnes) {
    dev.refuse(CMD_NOP, RES_GENERAL_ERROR, 0, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(result_of(Cmd{CMD_NOP}), RES_OK) << i;
    for (int i = 0; i < 50; ++i) EXPECT_EQ(result_of(Cmd{CMD_NOP}), RES_GENERAL_ERROR) << i;
    EXPECT_EQ(result_of(Cmd{CMD_ACTIVATE_BL}), RES_OK) << "another command was refused";
    EXPECT_EQ(dev.commands_refused(), 50u);
}

TEST_F(Device, DuplicatesEveryReplyButExecutesOnce) {
    dev.set_faults(Faults{.duplicate = true});
    for (const Cmd& c : kReady) ASSERT_EQ(send(c).size(), 2u);
    const std::vector<Reply> r = send(write_cmd(FLASH_BASE, 7));
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].bytes, r[1].bytes);
    EXPECT_EQ(reply_of(r[0].bytes).get_result, RES_OK);
    EXPECT_EQ(dev.blocks_written(), 1u);
}

TEST_F(Device, ReportsTheReplyDelayPerCommand) {
    dev.set_faults(Faults{.delay_ms = 250, .delay_by_cmd = {{CMD_ERASE_UP_FLASH, 900}}});
    const std::vector<Reply> nop = send(Cmd{CMD_NOP});
    send(kUnblock);
    const std::vector<Reply> erase = send(kErase);
    ASSERT_EQ(nop.size(), 1u);
    ASSERT_EQ(erase.size(), 1u);
    EXPECT_EQ(nop[0].delay_ms, 250u);
    EXPECT_EQ(erase[0].delay_ms, 900u);
}

// The four shares at 3 % each on one board: every kind of fault happens, the same ones for a
// seed, and they keep apart: a lost reply is neither damaged nor doubled, a refused write is not
// carried out, every other one is, and an intact reply either accepts or refuses.
TEST(DeviceFaults, FourSharesCombineOnOneBoard) {
    constexpr uint32_t N = 4000;
    const Faults f{.seed = 5,
                   .loss_probability = 0.03,
                   .damage_probability = 0.03,
                   .refuse_probability = 0.03,
                   .duplicate_probability = 0.03};
    const WriteOutcome a = write_repeatedly(f, N);
    const WriteOutcome again = write_repeatedly(f, N);
    EXPECT_EQ(again.results, a.results);
    EXPECT_EQ(again.replies, a.replies);
    EXPECT_EQ(again.damaged, a.damaged);
    Faults other = f;
    other.seed = 6;
    EXPECT_NE(write_repeatedly(other, N).replies, a.replies);

    uint64_t lost = 0, damaged = 0, doubled = 0, refusals_seen = 0;
    for (uint32_t n = 0; n < N; ++n) {
        lost += a.replies[n] == 0;
        doubled += a.replies[n] == 2;
        damaged += a.damaged[n];
        EXPECT_FALSE(a.replies[n] == 0 && a.damaged[n]) << "command " << n + 1;
        if (a.replies[n] == 0 || a.damaged[n]) continue;
        EXPECT_TRUE(a.results[n] == RES_OK || a.results[n] == RES_GENERAL_ERROR) << n + 1;
        refusals_seen += a.results[n] == RES_GENERAL_ERROR;
    }
    for (const uint64_t happened : {lost, damaged, doubled, a.refused}) {
        EXPECT_GT(happened, N / 70);  // 3 % is 120
        EXPECT_LT(happened, N / 20);
    }
    EXPECT_LE(refusals_seen, a.refused);
    EXPECT_GT(refusals_seen, a.refused / 2) << "refusals hidden by the other faults";
    EXPECT_EQ(a.written + a.refused, N) << "a refused write was carried out, or a lost one not";
}

// ---- A wrong flash CRC ----

// Under wrong_flash_crc every CMD_GETCRC_FLASH reports the flash CRC-32 XOR 1, whatever the
// flash holds; the announcement and flash_crc() keep the real one.
TEST(DeviceFaults, WrongFlashCrcOnlyInTheReplyToGetcrc) {
    for (const bool wrong : {false, true}) {
        SCOPED_TRACE(wrong);
        DeviceConfig cfg = test_config();
        cfg.flash = image_bytes(9);
        Bootloader dev(cfg);
        dev.set_faults(Faults{.wrong_flash_crc = wrong});
        const uint32_t real = fullcalk_crc32(dev.flash().data(), IMAGE_SIZE, CRC32_POLY);
        std::vector<uint32_t> reported;
        for (const Cmd& c : {Cmd{CMD_GETCRC_FLASH}, Cmd{CMD_GETCRC_FLASH}, kUnblock, kErase,
                             Cmd{CMD_GETCRC_FLASH}}) {
            const Bytes w = wire_of(command(c.code, c.f_address, c.ext));
            const std::vector<Reply> r = dev.handle(w.data(), w.size());
            ASSERT_EQ(r.size(), 1u);
            ASSERT_TRUE(reply_crc_ok(r[0].bytes));
            ASSERT_EQ(reply_of(r[0].bytes).get_result, RES_OK);
            if (c.code != CMD_GETCRC_FLASH) continue;
            reported.push_back(byte_to_int(reply_of(r[0].bytes).ext_area, 0));
        }
        const Bytes erased_flash(IMAGE_SIZE, 0xFF);
        const uint32_t erased = fullcalk_crc32(erased_flash.data(), IMAGE_SIZE, CRC32_POLY);
        const uint32_t x = wrong ? 0x00000001u : 0u;
        EXPECT_EQ(reported, (std::vector<uint32_t>{real ^ x, real ^ x, erased ^ x}));
        EXPECT_EQ(dev.flash_crc(), erased);
        EXPECT_EQ(dev.reported_flash_crc(), erased ^ x);
        from_dev_bcst_t b{};
        from_wire(dev.announcement().data(), b);
        EXPECT_EQ(b.crc_uflash, erased);
    }
}

// ---- Commands never answered ----

struct MuteCase {
    std::string name;
    std::vector<Cmd> before;
    Cmd muted;  // the one command whose code is muted
    Cmd probe;  // shows whether the muted command was carried out
    uint32_t probe_result_muted;
    uint32_t probe_result_answered;  // on a twin that answers the same command
};

void PrintTo(const MuteCase& c, std::ostream* os) { *os << c.name; }

class MutedCommands : public ::testing::TestWithParam<MuteCase> {};

// A muted command is received and counted, but neither answered nor carried out; a twin
// without the fault answers it and carries it out, so that each case can tell the two apart.
TEST_P(MutedCommands, AreCountedButNeitherAnsweredNorCarriedOut) {
    const MuteCase& tc = GetParam();
    DeviceConfig cfg = test_config();
    cfg.flash = image_bytes(4);
    Bootloader dev(cfg);
    Bootloader twin(cfg);
    dev.set_faults(Faults{.mute = {tc.muted.code}});
    const auto send = [](Bootloader& d, const Cmd& c) {
        const Bytes w = wire_of(command(c.code, c.f_address, c.ext));
        return d.handle(w.data(), w.size());
    };
    for (const Cmd& c : tc.before) {
        ASSERT_EQ(send(dev, c).size(), 1u) << "command " << c.code << " before";
        send(twin, c);
    }

    const Bytes flash_before = dev.flash();
    EXPECT_TRUE(send(dev, tc.muted).empty());
    EXPECT_TRUE(send(dev, tc.muted).empty()) << "muted only once";
    ASSERT_EQ(send(twin, tc.muted).size(), 1u);
    EXPECT_EQ(dev.flash(), flash_before);
    EXPECT_EQ(dev.blocks_written(), 0u);
    const std::vector<Reply> probe = send(dev, tc.probe);
    const std::vector<Reply> twin_probe = send(twin, tc.probe);

    EXPECT_EQ(dev.commands_received(tc.muted.code), 2u);
    EXPECT_EQ(dev.valid_commands(), tc.before.size() + 3);
    EXPECT_EQ(dev.commands_muted(), 2u);
    EXPECT_EQ(twin.commands_muted(), 0u);
    ASSERT_EQ(probe.size(), 1u) << "another code was muted";
    ASSERT_EQ(twin_probe.size(), 1u);
    EXPECT_EQ(reply_of(probe[0].bytes).get_result, tc.probe_result_muted);
    EXPECT_EQ(reply_of(twin_probe[0].bytes).get_result, tc.probe_result_answered);
    EXPECT_EQ(dev.jumped(), false);
    EXPECT_EQ(twin.jumped(), tc.muted.code == CMD_JUMP_TO_APP);
    const bool twin_differs = twin.flash() != dev.flash() || twin.jumped() ||
                              tc.probe_result_answered != tc.probe_result_muted;
    EXPECT_TRUE(twin_differs) << "the case cannot tell a muted command from an answered one";
}

INSTANTIATE_TEST_SUITE_P(
    Table, MutedCommands,
    ::testing::Values(
        MuteCase{"unblock", {}, kUnblock, kErase, RES_FLASH_LOCK, RES_OK},
        // An erase withdraws the password: the twin's write is refused for that.
        MuteCase{"erase", {kUnblock, kPassOk}, kErase, write_cmd(FLASH_BASE, 1),
                 RES_PAGE_NOT_ERASED, RES_BAD_BIN_PASSWORD},
        MuteCase{"password", {kUnblock, kErase}, kPassOk, write_cmd(FLASH_BASE, 1),
                 RES_BAD_BIN_PASSWORD, RES_OK},
        MuteCase{"write", kReady, write_cmd(FLASH_BASE, 1), Cmd{CMD_NOP}, RES_OK, RES_OK},
        MuteCase{"jump", {}, Cmd{CMD_JUMP_TO_APP}, Cmd{CMD_NOP}, RES_OK, RES_OK}),
    [](const auto& tc) { return tc.param.name; });

// A muted command takes its number, so the loss pattern counts it, and it leaves a listed
// refusal for when the code is answered again.
TEST_F(Device, MutedCommandsTakeTheirNumberAndLeaveRefusals) {
    dev.refuse(CMD_GET_CONFIG, RES_PAGE_NOT_WRITTEN, 1);
    dev.set_faults(Faults{.lose = {3}, .mute = {CMD_GET_CONFIG}});
    EXPECT_TRUE(send(Cmd{CMD_GET_CONFIG}).empty());  // 1, muted
    EXPECT_EQ(result_of(Cmd{CMD_NOP}), RES_OK);     // 2
    EXPECT_TRUE(send(Cmd{CMD_NOP}).empty());        // 3, lost
    EXPECT_EQ(dev.commands_refused(), 0u);
    dev.set_faults(Faults{});
    EXPECT_EQ(result_of(Cmd{CMD_GET_CONFIG}), RES_PAGE_NOT_WRITTEN);
    EXPECT_EQ(result_of(Cmd{CMD_GET_CONFIG}), RES_OK);
    EXPECT_EQ(dev.commands_muted(), 1u);
    EXPECT_EQ(dev.commands_refused(), 1u);
    EXPECT_EQ(dev.valid_commands(), 5u);
}

// ---- The device behind the fake network, driven by the server's own exchange ----

class Link : public ::testing::Test {
protected:
    Link() {
        std::strcpy(srv().loop.dlg.dev_IP, "198.18.0.2");
        open_soc_rx(srv());
        open_soc_tx(srv(), srv().loop.dlg);
    }

    Server& srv() { return *t.srv; }
    void send_cmd(uint8_t code) {
        prep_cmd(srv(), srv().loop.dlg.out_serv, code, ext);
        tx_struct(srv(), srv().loop.dlg);
    }
    int16_t poll() { return Net_Handler(srv(), srv().loop.in_bc, srv().loop.dlg.in_dev); }
    uint32_t polled_cmd() const { return t.srv->loop.dlg.in_dev.get_cmd; }

    test::TestServer t;
    uint8_t ext[256] = {};  // the payload a command carries
    Bootloader dev{test_config()};
    test::DeviceLink link{t.net, t.clock, dev};
};

TEST_F(Link, ReplyIsReceivableOnlyOnceItsDelayHasPassedSinceTheCommand) {
    dev.set_faults(Faults{.delay_ms = 150});
    t.clock.sleep_ms(1000);  // the delay counts from the sending, not from the start
    for (const uint8_t code : {uint8_t{CMD_NOP}, uint8_t{CMD_ACTIVATE_BL}}) {
        send_cmd(code);
        t.clock.sleep_ms(149);
        EXPECT_EQ(poll(), NET_RX_NONE);
        EXPECT_EQ(link.in_flight(), 1u);
        t.clock.sleep_ms(1);
        ASSERT_EQ(poll(), NET_RX_DEV);
        EXPECT_EQ(polled_cmd(), code);
        EXPECT_EQ(srv().loop.dlg.in_dev.get_result, RES_OK);
        EXPECT_EQ(poll(), NET_RX_NONE);
    }
}

TEST_F(Link, RepliesArriveInTheOrderOfTheirDueTimes) {
    dev.set_faults(Faults{.delay_ms = 100, .delay_by_cmd = {{CMD_GET_CONFIG, 300}}});
    send_cmd(CMD_GET_CONFIG);  // due at 300
    send_cmd(CMD_NOP);         // due at 100
    t.clock.sleep_ms(200);
    send_cmd(CMD_ACTIVATE_BL);  // due at 300, after GET_CONFIG
    t.clock.sleep_ms(100);
    std::vector<uint32_t> order;
    for (int i = 0; i < 4 && poll() == NET_RX_DEV; ++i) order.push_back(polled_cmd());
    EXPECT_EQ(order, (std::vector<uint32_t>{CMD_NOP, CMD_GET_CONFIG, CMD_ACTIVATE_BL}));
}

TEST_F(Link, AnnouncesUntilTheDeviceHasJumped) {
    ASSERT_TRUE(link.announce());
    ASSERT_EQ(poll(), NET_RX_BCST);
    EXPECT_EQ(srv().loop.in_bc.crc_uflash, dev.flash_crc());
    EXPECT_EQ(Bytes(srv().loop.in_bc.my_mac, srv().loop.in_bc.my_mac + 6),
              (Bytes{10, 20, 30, 40, 50, 60}));
    send_cmd(CMD_JUMP_TO_APP);
    ASSERT_EQ(poll(), NET_RX_DEV);
    EXPECT_FALSE(link.announce());
    EXPECT_EQ(poll(), NET_RX_NONE);
}

TEST_F(Link, ServerSeesDamagedAndDuplicatedReplies) {
    dev.set_faults(Faults{.damage = {1}, .duplicate = true});
    send_cmd(CMD_NOP);
    EXPECT_EQ(poll(), NET_RX_DEV_BAD_CRC);
    EXPECT_EQ(poll(), NET_RX_DEV_BAD_CRC);
    send_cmd(CMD_NOP);
    EXPECT_EQ(poll(), NET_RX_DEV);
    EXPECT_EQ(poll(), NET_RX_DEV);
    EXPECT_EQ(poll(), NET_RX_NONE);
}

TEST_F(Link, ReachesOnlyTheDeviceAndRepliesOnlyToTheUpdatePort) {
    std::strcpy(srv().loop.dlg.dev_IP, "198.18.0.3");
    open_soc_tx(srv(), srv().loop.dlg);
    send_cmd(CMD_NOP);
    EXPECT_EQ(dev.valid_commands(), 0u);

    from_serv_update_t f = command(CMD_NOP);
    f.my_port = 6000;
    const Bytes w = wire_of(f);
    const uint32_t to_dev = t.net.address_of("198.18.0.2");
    t.net.send_to(srv().exchange.so_tx_s, w.data(), static_cast<int>(w.size()), to_dev, UPDATE_PORT);
    EXPECT_EQ(dev.valid_commands(), 1u);

    t.clock.sleep_ms(10000);
    EXPECT_EQ(link.in_flight(), 0u);
    EXPECT_EQ(poll(), NET_RX_NONE);
}

// --- programs in files ------------------------------------------------------------------------

struct ProgramFileCase {
    std::u8string name;  // as the file system gets it
    size_t size;
    bool written;       // the test writes the file first
    std::string error;  // empty: read
};

// A program comes from a file of any name (these are Cyrillic: UTF-8 here, wide characters on
// Windows), whole up to the size of the UP1 area; a larger file, a missing one and a folder are
// refused with the reason.
TEST(ProgramFile, ReadsUpToTheWholeAreaFromAFileOfAnyName) {
    test::TempWorkDir dir;
    std::filesystem::create_directory(std::filesystem::path(u8"папка"));
    for (const ProgramFileCase& c :
         {ProgramFileCase{u8"прошивка.bin", 1000, true, ""},
          ProgramFileCase{u8"полная.upk", IMAGE_SIZE, true, ""},
          ProgramFileCase{u8"пустая.bin", 0, true, ""},
          ProgramFileCase{u8"большая.bin", IMAGE_SIZE + 1, true,
                          "файл большая.bin больше области UP1 (122880 байт)"},
          ProgramFileCase{u8"нет.bin", 0, false, "не удалось открыть файл нет.bin"},
          ProgramFileCase{u8"папка", 0, false, "не удалось открыть файл папка"}}) {
        const std::string name(c.name.begin(), c.name.end());
        SCOPED_TRACE(name);
        Bytes bytes(c.size);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
        if (c.written) test::write_file(std::filesystem::path(c.name), bytes);
        std::string error;
        const std::optional<Bytes> read = device::read_program(name, error);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(read.has_value(), c.error.empty());
        if (read) {
            EXPECT_EQ(*read, bytes);
        }
    }
}

}  // namespace
}  // namespace qd
