// The update's rules alone, without a server: the decision as a function, and one device's
// dialogue driven by a small loop of the test's own on a clock that only adds up the waits,
// against a table of device behaviours.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "protocol/constants.hpp"
#include "protocol/crc.hpp"
#include "protocol/frames.hpp"
#include "update/decision.hpp"
#include "update/sequence.hpp"

namespace qd {
namespace {

// ---- the decision ---------------------------------------------------------------------------

const std::array<uint8_t, 6> kMac = {0, 128, 225, 1, 2, 255};
const std::array<uint8_t, 6> kOtherMac = {0, 128, 225, 1, 2, 7};
const std::array<uint8_t, 6> kZeros = {};

struct AnalysisCase {
    const char* name;
    uint8_t type;
    const char* container;
    uint32_t crc_uflash;
    uint8_t autoprog;
    std::vector<std::array<uint8_t, 6>> allowlist;
    std::array<uint8_t, 6> mac;
    std::vector<Finding> findings;
    int enable;  // -1: left as it was
    Verdict verdict;
};

void PrintTo(const AnalysisCase& c, std::ostream* os) { *os << c.name; }

using F = Finding;

class Analyse : public ::testing::TestWithParam<AnalysisCase> {};

TEST_P(Analyse, FindingsFlagAndVerdict) {
    const AnalysisCase& c = GetParam();
    DecisionConfig cfg;
    cfg.type_file_for_update = c.type;
    cfg.autoprog_regime = c.autoprog;
    cfg.s_BinContainer = c.container;
    std::array<std::array<uint8_t, 6>, 4> list{kZeros, kZeros, kZeros, kZeros};
    for (size_t n = 0; n < c.allowlist.size(); ++n) list[n] = c.allowlist[n];
    for (size_t n = 0; n < 4; ++n) cfg.allowlist[n] = list[n].data();
    from_dev_bcst_t bc{};
    bc.crc_uflash = c.crc_uflash;
    std::memcpy(bc.my_mac, c.mac.data(), 6);
    const Analysis a = analyse(bc, cfg);
    EXPECT_EQ(a.analysed, c.type == 0);
    EXPECT_EQ(std::vector<Finding>(a.findings, a.findings + a.count), c.findings);
    EXPECT_EQ(a.enable_update_up1, c.enable);
    EXPECT_EQ(a.verdict, c.verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Analyse,
    ::testing::Values(
        AnalysisCase{"another_type", 1, "ABCDEF.upk", 0xABCDEF, 2, {}, kMac, {}, -1,
                     Verdict::refused},
        AnalysisCase{"same_never", 0, "ABCDEF.upk", 0xABCDEF, 0, {}, kMac,
                     {F::same_firmware, F::never}, 0, Verdict::same_firmware},
        AnalysisCase{"same_any", 0, "ABCDEF.upk", 0xABCDEF, 2, {}, kMac,
                     {F::same_firmware, F::never}, 0, Verdict::same_firmware},
        AnalysisCase{"same_forced", 0, "ABCDEF.upk", 0xABCDEF, 3, {}, kMac,
                     {F::same_firmware, F::forced}, 1, Verdict::update},
        AnalysisCase{"same_policy_4", 0, "ABCDEF.upk", 0xABCDEF, 4, {}, kMac,
                     {F::same_firmware}, -1, Verdict::refused},
        AnalysisCase{"leading_zeros_are_another_name", 0, "00ABCDEF.upk", 0xABCDEF, 0, {}, kMac,
                     {F::other_firmware, F::never}, 0, Verdict::refused},
        AnalysisCase{"lower_case_is_another_name", 0, "abcdef.upk", 0xABCDEF, 2, {}, kMac,
                     {F::other_firmware, F::any_serial}, 1, Verdict::update},
        AnalysisCase{"crc_zero", 0, "0.upk", 0, 0, {}, kMac, {F::same_firmware, F::never}, 0,
                     Verdict::same_firmware},
        AnalysisCase{"listed", 0, "D718226B.upk", 1, 1, {kOtherMac, kMac}, kMac,
                     {F::other_firmware, F::by_list, F::listed}, 1, Verdict::update},
        AnalysisCase{"listed_twice", 0, "D718226B.upk", 1, 1, {kMac, kZeros, kMac}, kMac,
                     {F::other_firmware, F::by_list, F::listed, F::listed}, 1, Verdict::update},
        AnalysisCase{"not_listed", 0, "D718226B.upk", 1, 1, {kOtherMac}, kMac,
                     {F::other_firmware, F::by_list, F::not_listed}, 0, Verdict::not_listed},
        AnalysisCase{"zero_serial_matches_every_unset_entry", 0, "D718226B.upk", 1, 1, {kMac},
                     kZeros, {F::other_firmware, F::by_list, F::listed, F::listed, F::listed}, 1,
                     Verdict::update},
        AnalysisCase{"other_forced", 0, "D718226B.upk", 1, 3, {}, kMac,
                     {F::other_firmware, F::forced}, 1, Verdict::update},
        AnalysisCase{"other_policy_255", 0, "D718226B.upk", 1, 255, {}, kMac,
                     {F::other_firmware}, -1, Verdict::refused}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct ActCase {
    const char* name;
    uint8_t enable;
    Verdict analysed;
    bool usable;
    bool image;
    uint8_t jump;
    DeviceAction what;
    Verdict verdict;
    bool bad_address;
    bool no_image;
};

TEST(Act, WhatIsDoneWithTheDeviceAndTheFinalVerdict) {
    using A = DeviceAction;
    using V = Verdict;
    const ActCase cases[] = {
        {"update", 1, V::update, true, true, 0, A::update, V::update, false, false},
        {"update_whatever_the_jump", 1, V::update, true, true, 1, A::update, V::update, false,
         false},
        {"let_be", 0, V::refused, true, true, 0, A::ignore, V::refused, false, false},
        {"sent_to_its_application", 0, V::same_firmware, true, true, 1, A::jump,
         V::same_firmware, false, false},
        {"jump_2_lets_be", 0, V::refused, true, true, 2, A::ignore, V::refused, false, false},
        {"no_image", 1, V::update, true, false, 0, A::ignore, V::no_image, false, true},
        {"no_image_jumps", 1, V::update, true, false, 1, A::jump, V::no_image, false, true},
        {"bad_address_never_jumps", 1, V::update, false, true, 1, A::ignore, V::bad_address, true,
         false},
    };
    for (const ActCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Action a = act(c.enable, c.analysed, c.usable, c.image, c.jump);
        EXPECT_EQ(a.what, c.what);
        EXPECT_EQ(a.verdict, c.verdict);
        EXPECT_EQ(a.bad_address, c.bad_address);
        EXPECT_EQ(a.no_image, c.no_image);
    }
}

// ---- one dialogue, driven alone -------------------------------------------------------------

// What the driver's output was told, as short words, in order.
class Events : public SequenceOutput {
public:
    void reply(const from_dev_update_t& r, uint8_t code) override {
        add(r.get_result == RES_OK ? "ok " : "refused ", code);
    }
    void no_reply(uint8_t code) override { add("none ", code); }
    void block_written(uint32_t block) override {
        if (block == 0 || block == IMAGE_SIZE / WRITE_BLOCK_SIZE - 1) add("block ", block);
    }
    void flash_crc(uint32_t, bool matches) override { said.push_back(matches ? "crc ok" : "crc"); }
    void config_read(uint8_t) override { said.push_back("config"); }
    void written_again(uint32_t) override { said.push_back("again"); }
    void given_up(const GiveUp& why) override {
        add("given up ", static_cast<uint32_t>(why.why));
        gave_up = why;
    }

    std::vector<std::string> said;
    std::optional<GiveUp> gave_up;

private:
    void add(const char* what, uint32_t n) { said.push_back(what + std::to_string(n)); }
};

// A device as a function of the command it gets and how many of that code it got before: its
// result, or nothing for silence.
using Device = std::function<std::optional<uint32_t>(uint8_t code, uint32_t nth)>;

std::optional<uint32_t> healthy(uint8_t, uint32_t) { return RES_OK; }

// The datagrams a driver reads, in order; nullptr stands for one that is no reply.
class Replies : public ReplySource {
public:
    explicit Replies(std::vector<const from_dev_update_t*> datagrams) : all_(std::move(datagrams)) {}
    bool next(const from_dev_update_t*& reply) override {
        if (at_ == all_.size()) return false;
        reply = all_[at_++];
        return true;
    }
    size_t read() const { return at_; }

private:
    std::vector<const from_dev_update_t*> all_;
    size_t at_ = 0;
};

struct Driven {
    DialogueEnd end;
    uint64_t waited_ms = 0;  // the pauses and waits the driver made
    uint32_t commands = 0;
    std::array<uint32_t, 10> by_code{};
    uint32_t writes = 0;
    Events events;
};

constexpr uint32_t kImageCrc = 0xD718226B;

// How a device fills the frame number of its replies: any number may stand there.
enum class Numbering {
    each_reply,     // one more in each reply
    from_the_top,   // one more in each reply, from 0xFFFFFFFE on through 0
    each_command,   // one more in each command received, answered or not
    announcements,  // the number of its last announcement, which does not move in a dialogue
    still,          // always 0
};

uint32_t frame_number(Numbering numbering, uint32_t replies, uint32_t commands) {
    switch (numbering) {
        case Numbering::each_reply: return replies;
        case Numbering::from_the_top: return 0xFFFFFFFEu + replies;
        case Numbering::each_command: return commands;
        case Numbering::announcements: return 41;
        case Numbering::still: return 0;
    }
    return 0;
}

// Sends, waits and hears as a driver does; a reply, sealed, is there at once, and the flash CRC
// it reports is the image's unless `crc` says otherwise.
Driven drive(const SequenceConfig& cfg, uint8_t first, const Device& device,
             uint32_t crc = kImageCrc, Numbering numbering = Numbering::each_reply) {
    Driven run;
    uint32_t replies = 0;
    Sequence s;
    uint64_t now = 0;
    sequence_open(s, first, now);
    for (int n = 0; n < 100000; ++n) {
        const Next next = sequence_next(s, cfg, now, run.events);
        if (next.what == Do::end) break;
        now += next.ms;  // a pause, the rest of a pass, or the wait for the reply
        run.waited_ms += next.ms;
        if (next.what != Do::send) continue;
        ++run.commands;
        const uint32_t nth = run.by_code[next.code == CMD_GET_CONFIG ? 8 : next.code]++;
        const std::optional<uint32_t> result = device(next.code, nth);
        if (!result) {
            sequence_heard(s, cfg, kImageCrc, nullptr, now, run.events);
            continue;
        }
        from_dev_update_t r{};
        r.get_cmd = next.code;
        r.get_result = *result;
        r.n_frame = frame_number(numbering, ++replies, run.commands);
        if (next.code == CMD_GETCRC_FLASH) std::memcpy(r.ext_area, &crc, 4);
        seal(r);
        if (next.code == CMD_WRITE_UP_FLASH && *result == RES_OK) ++run.writes;
        Replies one({&r});
        sequence_heard(s, cfg, kImageCrc, sequence_poll(s, cfg, one), now, run.events);
    }
    run.end = s.log.outcome;
    return run;
}

struct Behaviour {
    const char* name;
    bool paced;
    bool verify;
    uint8_t first;
    Device device;
    uint32_t crc;
    DialogueEnd end;
    uint32_t writes;    // blocks accepted
    uint32_t passwords;
    uint32_t jumps;
    uint32_t result;  // the refusal that is given as the reason, when one is
};

std::optional<uint32_t> refuses_forever(uint8_t code, uint8_t at, uint32_t result,
                                        uint32_t after = 0, uint32_t nth = 0) {
    if (code == at && nth >= after) return result;
    return RES_OK;
}

// Drives one behaviour of a device that numbers its replies as `numbering` says.
void check_behaviour(const Behaviour& b, Numbering numbering, const char* how) {
    SCOPED_TRACE(std::string(b.name) + ", " + how);
    SequenceConfig cfg;
    cfg.reply_paced = b.paced;
    cfg.verify_flash = b.verify;
    cfg.stall_timeout = 5;
    const Driven run = drive(cfg, b.first, b.device, b.crc, numbering);
    EXPECT_EQ(run.end, b.end);
    EXPECT_EQ(run.writes, b.writes);
    EXPECT_EQ(run.by_code[CMD_SET_PASS_BIN], b.passwords);
    EXPECT_EQ(run.by_code[CMD_JUMP_TO_APP], b.jumps);
    const bool given_up = b.end != DialogueEnd::updated && b.end != DialogueEnd::jumped &&
                          b.end != DialogueEnd::crc_differs;
    ASSERT_EQ(run.events.gave_up.has_value(), given_up);
    if (given_up) {
        EXPECT_EQ(run.events.gave_up->why, b.end);
        EXPECT_EQ(run.events.gave_up->result, b.result);
    }
}

TEST(Core, EachDeviceBehaviourEndsAsItsRulesSay) {
    const Behaviour table[] = {
        {"healthy", false, true, CMD_NOP, healthy, kImageCrc, DialogueEnd::updated, 480, 1, 1, 0},
        {"healthy, reply-paced", true, true, CMD_NOP, healthy, kImageCrc, DialogueEnd::updated,
         480, 1, 1, 0},
        {"sent to its application", false, true, CMD_JUMP_TO_APP, healthy, kImageCrc,
         DialogueEnd::jumped, 0, 0, 1, 0},
        {"jumper set", false, true, CMD_NOP,
         [](uint8_t c, uint32_t) { return refuses_forever(c, CMD_ERASE_UP_FLASH, 11); },
         kImageCrc, DialogueEnd::device_refused, 0, 0, 0, 11},
        {"pages fail after block 99", true, true, CMD_NOP,
         [](uint8_t c, uint32_t nth) {
             return refuses_forever(c, CMD_WRITE_UP_FLASH, RES_PAGE_NOT_WRITTEN, 100, nth);
         },
         kImageCrc, DialogueEnd::device_refused, 100, 1, 0, RES_PAGE_NOT_WRITTEN},
        {"silent from block 100", false, true, CMD_NOP,
         [](uint8_t c, uint32_t nth) -> std::optional<uint32_t> {
             if (c == CMD_WRITE_UP_FLASH && nth >= 100) return std::nullopt;
             return RES_OK;
         },
         kImageCrc, DialogueEnd::stalled, 100, 1, 0, 0},
        // The last reply read for the step is what the give-up says.
        {"refuses once, then falls silent", false, true, CMD_NOP,
         [](uint8_t c, uint32_t nth) -> std::optional<uint32_t> {
             if (c != CMD_UNBLOCK_FLASH) return RES_OK;
             if (nth == 0) return RES_FLASH_LOCK;
             return std::nullopt;
         },
         kImageCrc, DialogueEnd::device_refused, 0, 0, 0, RES_FLASH_LOCK},
        {"silent, then refuses once", false, true, CMD_NOP,
         [](uint8_t c, uint32_t nth) -> std::optional<uint32_t> {
             if (c != CMD_UNBLOCK_FLASH) return RES_OK;
             if (nth == 10) return RES_FLASH_LOCK;
             return std::nullopt;
         },
         kImageCrc, DialogueEnd::device_refused, 0, 0, 0, RES_FLASH_LOCK},
        {"silent at the unblock", false, true, CMD_NOP,
         [](uint8_t c, uint32_t) -> std::optional<uint32_t> {
             if (c == CMD_UNBLOCK_FLASH) return std::nullopt;
             return RES_OK;
         },
         kImageCrc, DialogueEnd::stalled, 0, 0, 0, 0},
        {"wrong image password", false, true, CMD_NOP,
         [](uint8_t c, uint32_t) { return refuses_forever(c, CMD_SET_PASS_BIN, 10); },
         kImageCrc, DialogueEnd::bad_password, 0, 3, 0, 10},
        {"wrong password, reply-paced", true, true, CMD_NOP,
         [](uint8_t c, uint32_t) { return refuses_forever(c, CMD_SET_PASS_BIN, 7); }, kImageCrc,
         DialogueEnd::bad_password, 0, 3, 0, 7},
        // Refused otherwise, it is repeated until the stall time: 17 attempts of 300 ms.
        {"password refused otherwise", false, true, CMD_NOP,
         [](uint8_t c, uint32_t) { return refuses_forever(c, CMD_SET_PASS_BIN, 0); }, kImageCrc,
         DialogueEnd::device_refused, 0, 17, 0, 0},
        {"flash never matches", false, true, CMD_NOP, healthy, 0x1234, DialogueEnd::verify_failed,
         1440, 3, 0, 0},
        {"flash unchecked and different", false, false, CMD_NOP, healthy, 0x1234,
         DialogueEnd::crc_differs, 480, 1, 1, 0},
        {"jump never answered", false, true, CMD_NOP,
         [](uint8_t c, uint32_t) -> std::optional<uint32_t> {
             if (c == CMD_JUMP_TO_APP) return std::nullopt;
             return RES_OK;
         },
         kImageCrc, DialogueEnd::jump_unconfirmed, 480, 1, 5, 0},
    };
    // Whatever a device puts in its replies' frame number, each behaviour ends alike.
    const std::pair<Numbering, const char*> numberings[] = {
        {Numbering::each_reply, "numbered by reply"},
        {Numbering::from_the_top, "numbered by reply through 0"},
        {Numbering::each_command, "numbered by command"},
        {Numbering::announcements, "the announcement's number"},
        {Numbering::still, "number 0"},
    };
    for (const auto& [numbering, how] : numberings) {
        for (const Behaviour& b : table) check_behaviour(b, numbering, how);
    }
}

// What a poll reads and takes: with fixed pauses the first datagram only; reply-paced, on past
// what is no reply. A device that numbers its replies has a copy of one it sent before passed
// over, also one that came before the command and was dropped as stale; from a device whose
// counter stands still, every reply counts.
TEST(Core, ThePollTakesTheReplyAndPassesOverCopies) {
    auto reply = [](uint32_t cmd, uint32_t n_frame) {
        from_dev_update_t r{};
        r.get_cmd = cmd;
        r.get_result = RES_OK;
        r.n_frame = n_frame;
        r.crc_struct = 0x1000 + n_frame + cmd;  // as a sealed frame's, different for each
        return r;
    };
    for (const bool paced : {false, true}) {
        SCOPED_TRACE(paced ? "reply-paced" : "fixed pauses");
        SequenceConfig cfg;
        cfg.reply_paced = paced;
        Events out;
        Sequence s;
        sequence_open(s, CMD_NOP, 0);
        sequence_next(s, cfg, 0, out);  // the opening pause
        sequence_next(s, cfg, 0, out);  // CMD_NOP sent
        const from_dev_update_t nop = reply(CMD_NOP, 1);
        Replies first({nullptr, &nop});
        const from_dev_update_t* got = sequence_poll(s, cfg, first);
        EXPECT_EQ(got, paced ? &nop : nullptr) << "fixed pauses: one poll, and it read junk";
        if (!paced) {
            Replies again({&nop});
            got = sequence_poll(s, cfg, again);
            EXPECT_EQ(got, &nop);
        }
        sequence_heard(s, cfg, kImageCrc, got, 0, out);
        // The reply to CMD_ACTIVATE_BL numbered apart: the device shows it numbers its replies.
        auto next_command = [&] {
            while (sequence_next(s, cfg, 0, out).what != Do::send) {
            }
        };
        next_command();
        ASSERT_EQ(s.proc, CMD_ACTIVATE_BL);
        const from_dev_update_t act = reply(CMD_ACTIVATE_BL, 2);
        Replies second({&act});
        sequence_heard(s, cfg, kImageCrc, sequence_poll(s, cfg, second), 0, out);
        next_command();
        ASSERT_EQ(s.proc, CMD_GET_CONFIG);
        // A copy of that reply waited before CMD_GET_CONFIG and was dropped; another copy comes
        // after it, then the reply.
        Replies stale({&act});
        sequence_drop_stale(s, stale);
        EXPECT_EQ(stale.read(), 1u);
        const from_dev_update_t config = reply(CMD_GET_CONFIG, 3);
        Replies late({&act, &config});
        got = sequence_poll(s, cfg, late);
        if (paced) {
            EXPECT_EQ(got, &config) << "the copy passed over, the wait goes on";
        } else {
            EXPECT_EQ(got, &act) << "fixed pauses: a copy naming another command goes to the step";
            EXPECT_EQ(late.read(), 1u);
        }
    }
}

// With fixed pauses and every command accepted at once, the sequence's own pauses add up to
// 7.6 s (the loop's closing pauses make the 7.8 s of an update); reply-paced, only the opening,
// the erase's and the pauses after a refused step remain.
TEST(Core, TheWaitsOfAHealthyUpdate) {
    SequenceConfig fixed;
    const Driven f = drive(fixed, CMD_NOP, healthy);
    EXPECT_EQ(f.waited_ms, 7600u);
    EXPECT_EQ(f.commands, 488u);
    EXPECT_EQ(f.events.said.front(), "ok 0");
    EXPECT_EQ(f.events.said.back(), "ok 7");
    SequenceConfig paced;
    paced.reply_paced = true;
    const Driven p = drive(paced, CMD_NOP, healthy);
    EXPECT_EQ(p.commands, 488u);
    EXPECT_LT(p.waited_ms, f.waited_ms);
}

}  // namespace
}  // namespace qd
