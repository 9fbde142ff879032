// The update's rules alone, without a server: the decision as a function, and one device's
// dialogue driven by a small loop of the test's own on a clock that only adds up the waits,
// against a table of device behaviours.
#include <gtest/gtest.h>

#include <array>
#include <deque>
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
#include "update/dialogue.hpp"
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
        AnalysisCase{"same_by_list", 0, "ABCDEF.upk", 0xABCDEF, 1, {kMac}, kMac,
                     {F::same_firmware, F::never}, 0, Verdict::same_firmware},
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
        AnalysisCase{"other_policy_4", 0, "D718226B.upk", 1, 4, {}, kMac,
                     {F::other_firmware}, -1, Verdict::refused},
        AnalysisCase{"other_policy_255", 0, "D718226B.upk", 1, 255, {}, kMac,
                     {F::other_firmware}, -1, Verdict::refused}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct ActCase {
    const char* name;
    int enable;  // as the analysis left it; -1: as it was
    uint8_t before;
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
        {"update", 1, 0, V::update, true, true, 0, A::update, V::update, false, false},
        {"update_whatever_the_jump", 1, 0, V::update, true, true, 1, A::update, V::update, false,
         false},
        {"let_be", 0, 1, V::refused, true, true, 0, A::ignore, V::refused, false, false},
        {"sent_to_its_application", 0, 0, V::same_firmware, true, true, 1, A::jump,
         V::same_firmware, false, false},
        {"jump_2_lets_be", 0, 0, V::refused, true, true, 2, A::ignore, V::refused, false, false},
        {"jump_255_lets_be", 0, 0, V::refused, true, true, 255, A::ignore, V::refused, false,
         false},
        {"no_image", 1, 0, V::update, true, false, 0, A::ignore, V::no_image, false, true},
        {"no_image_jumps", 1, 0, V::update, true, false, 1, A::jump, V::no_image, false, true},
        {"bad_address_never_jumps", 1, 0, V::update, false, true, 1, A::ignore, V::bad_address,
         true, false},
        // An analysis that leaves the flag acts on the one before it.
        {"left_as_it_was_1", -1, 1, V::refused, true, true, 0, A::update, V::refused, false,
         false},
        {"left_as_it_was_0", -1, 0, V::refused, true, true, 1, A::jump, V::refused, false, false},
    };
    for (const ActCase& c : cases) {
        SCOPED_TRACE(c.name);
        Analysis analysis;
        analysis.enable_update_up1 = c.enable;
        analysis.verdict = c.analysed;
        const Action a = act(analysis, ActingFacts{c.usable, c.image, c.jump, c.before});
        EXPECT_EQ(a.enable_update_up1, c.enable < 0 ? c.before : c.enable);
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

struct Driven {
    DialogueEnd end;
    uint64_t waited_ms = 0;  // the pauses and waits the driver made
    uint32_t commands = 0;
    std::array<uint32_t, 10> by_code{};
    uint32_t writes = 0;
    uint32_t stale = 0;          // datagrams dropped before a command
    uint32_t wrong_payload = 0;  // commands whose payload or flash address was not theirs
    Events events;
};

constexpr uint32_t kImageCrc = 0xD718226B;
constexpr uint32_t kBinPass = 0x1A2B3C4D;

// An image whose every block differs from the others.
const std::vector<uint8_t>& image() {
    static const std::vector<uint8_t> bytes = [] {
        std::vector<uint8_t> b(IMAGE_SIZE);
        for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 256);
        return b;
    }();
    return bytes;
}

// What a command must carry: the password; a block of the image at its address; anything else
// what the payload held before, from the last block written or the password on.
struct PayloadCheck {
    std::array<uint8_t, 256> held{};
    uint32_t f_address = 0;

    bool fits(const Command& c) {
        if (c.code == CMD_SET_PASS_BIN) {
            std::memcpy(held.data(), &kBinPass, 4);
        } else if (c.code == CMD_WRITE_UP_FLASH) {
            if (c.f_address < FLASH_BASE || c.f_address - FLASH_BASE >= IMAGE_SIZE) return false;
            std::memcpy(held.data(), image().data() + (c.f_address - FLASH_BASE), WRITE_BLOCK_SIZE);
            f_address = c.f_address;
        }
        return c.f_address == f_address && std::memcmp(c.payload, held.data(), 256) == 0;
    }
};

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

// The driver every engine is: sends what the dialogue gives, waits until its deadline or for a
// datagram, feeds what came. The device's replies, sealed, are on the wire within 2 ms (`copies`
// of each), and the flash CRC it reports is the image's unless `crc` says otherwise; the clock only
// adds up the waits.
Driven drive(const SequenceConfig& cfg, uint8_t first, const Device& device,
             uint32_t crc = kImageCrc, Numbering numbering = Numbering::each_reply,
             int copies = 1) {
    Driven run;
    uint32_t replies = 0;
    DeviceDialogue d;
    SequenceConfig with_pass = cfg;
    with_pass.bin_pass = kBinPass;
    d.open(DeviceDialogue::Setup{with_pass, image().data(), kImageCrc}, first, 0, false);
    std::deque<from_dev_update_t> wire;
    PayloadCheck payload;
    uint64_t now = 0;
    auto feed_front = [&] {
        const from_dev_update_t r = wire.front();
        wire.pop_front();
        d.datagram(&r, now, run.events);
    };
    for (int n = 0; n < 200000; ++n) {
        const Step st = d.next(now, run.events);
        if (st.want == Want::end) break;
        switch (st.want) {
            case Want::transmit: {
                const uint8_t code = st.command.code;
                ++run.commands;
                if (!payload.fits(st.command)) ++run.wrong_payload;
                const uint32_t nth = run.by_code[code == CMD_GET_CONFIG ? 8 : code]++;
                const std::optional<uint32_t> result = device(code, nth);
                if (!result) break;
                from_dev_update_t r{};
                r.get_cmd = code;
                r.get_result = *result;
                r.n_frame = frame_number(numbering, ++replies, run.commands);
                if (code == CMD_GETCRC_FLASH) std::memcpy(r.ext_area, &crc, 4);
                seal(r);
                if (code == CMD_WRITE_UP_FLASH && *result == RES_OK) ++run.writes;
                for (int c = 0; c < copies; ++c) wire.push_back(r);
                break;
            }
            case Want::drain:
                if (wire.empty()) {
                    d.timeout();
                } else {
                    ++run.stale;
                    feed_front();
                }
                break;
            case Want::wait:
                if (st.datagrams && !wire.empty()) {  // the device takes 2 ms to answer
                    now += 2;
                    run.waited_ms += 2;
                    feed_front();
                    break;
                }
                run.waited_ms += st.deadline - now;
                now = st.deadline;
                d.timeout();
                break;
            case Want::poll:
                if (wire.empty()) {
                    d.datagram(nullptr, now, run.events);
                } else {
                    feed_front();
                }
                break;
            case Want::end:
                break;
        }
    }
    run.end = d.log().outcome;
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
    EXPECT_EQ(run.wrong_payload, 0u);
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

// A device that sends every reply twice: the second copy waits when the next command is due and
// is dropped as stale; the update goes as with one copy, each command carrying its own payload.
// Unnumbered copies look like new replies: only the drop before each command keeps them off.
TEST(Core, CopiesOfRepliesAreDroppedAsStale) {
    for (const bool paced : {false, true}) {
        for (const Numbering numbering : {Numbering::each_reply, Numbering::still}) {
            SCOPED_TRACE(std::string(paced ? "reply-paced" : "fixed pauses") +
                         (numbering == Numbering::still ? ", number 0" : ", numbered"));
            SequenceConfig cfg;
            cfg.reply_paced = paced;
            const Driven run = drive(cfg, CMD_NOP, healthy, kImageCrc, numbering, 2);
            EXPECT_EQ(run.end, DialogueEnd::updated);
            EXPECT_EQ(run.commands, 488u);
            EXPECT_EQ(run.stale, 487u);  // before each command after the first
            EXPECT_EQ(run.wrong_payload, 0u);
            EXPECT_EQ(run.events.said.size(), drive(cfg, CMD_NOP, healthy).events.said.size());
        }
    }
}

// A wait for a reply, datagram by datagram: with fixed pauses one poll once the wait is over,
// which reads the first datagram only; reply-paced, the datagrams read before the deadline,
// on past what is no reply. A device that numbers its replies has a copy of one it sent before
// passed over, also one that came before the command and was dropped as stale.
TEST(Core, AWaitTakesTheReplyAndPassesOverCopies) {
    auto reply = [](uint32_t cmd, uint32_t n_frame) {
        from_dev_update_t r{};
        r.get_cmd = cmd;
        r.get_result = RES_OK;
        r.n_frame = n_frame;
        seal(r);
        return r;
    };
    for (const bool paced : {false, true}) {
        SCOPED_TRACE(paced ? "reply-paced" : "fixed pauses");
        SequenceConfig cfg;
        cfg.reply_paced = paced;
        Events out;
        DeviceDialogue d;
        d.open(DeviceDialogue::Setup{cfg, image().data(), kImageCrc}, CMD_NOP, 0, false);
        uint64_t now = 0;
        // Up to the next command, the waits over at their deadlines; true when one went out.
        auto to_command = [&] {
            for (int n = 0; n < 10; ++n) {
                const Step st = d.next(now, out);
                if (st.want == Want::transmit) return st.command.code;
                if (st.want == Want::drain) return uint8_t{0xFF};
                now = st.deadline;
                d.timeout();
            }
            return uint8_t{0xFE};
        };
        // The wait for the reply: `datagrams` read before the deadline or at the poll.
        auto hear = [&](std::vector<const from_dev_update_t*> datagrams) {
            size_t at = 0;
            if (paced) {
                while (at < datagrams.size() && d.listening()) d.datagram(datagrams[at++], now, out);
                if (!d.listening()) return at;
            }
            const Step st = d.next(now, out);
            EXPECT_EQ(st.want, Want::wait);
            EXPECT_EQ(st.datagrams, paced);
            now = st.deadline;
            d.timeout();
            EXPECT_EQ(d.next(now, out).want, Want::poll);
            d.datagram(at < datagrams.size() ? datagrams[at++] : nullptr, now, out);
            return at;
        };
        ASSERT_EQ(to_command(), CMD_NOP);
        const from_dev_update_t nop = reply(CMD_NOP, 1);
        EXPECT_EQ(hear({nullptr, &nop}), paced ? 2u : 1u) << "fixed pauses: one poll, junk";
        if (!paced) {  // the step repeated, its reply read then
            ASSERT_EQ(to_command(), CMD_NOP);
            hear({&nop});
        }
        EXPECT_EQ(out.said.back(), "ok 0");
        // The reply to CMD_ACTIVATE_BL numbered apart: the device shows it numbers its replies.
        ASSERT_EQ(to_command(), 0xFF) << "a reply was accepted: what waits is dropped first";
        d.timeout();
        ASSERT_EQ(d.next(now, out).command.code, CMD_ACTIVATE_BL);
        const from_dev_update_t act = reply(CMD_ACTIVATE_BL, 2);
        hear({&act});
        // A copy of that reply waits before CMD_GET_CONFIG and is dropped; another copy comes
        // after it, then the reply.
        ASSERT_EQ(to_command(), 0xFF);
        d.datagram(&act, now, out);
        d.timeout();
        ASSERT_EQ(d.next(now, out).command.code, CMD_GET_CONFIG);
        const size_t before = out.said.size();
        const from_dev_update_t config = reply(CMD_GET_CONFIG, 3);
        const size_t read = hear({&act, &config});
        if (paced) {
            EXPECT_EQ(read, 2u) << "the copy passed over, the wait goes on";
            EXPECT_EQ(out.said.at(before + 1), "config");
        } else {
            EXPECT_EQ(read, 1u);
            EXPECT_EQ(out.said.at(before), "ok 9") << "a copy naming another command goes to the step";
            EXPECT_EQ(out.said.size(), before + 1) << "which does not accept it";
            EXPECT_EQ(d.sequence().proc, CMD_GET_CONFIG);
        }
    }
}

// Past the last dialogue of the one-at-a-time loop: a dialogue opened on the same value starts
// from the payload and flash address the last one left (the first command carries the last
// block written); a fresh value starts zeroed.
TEST(Core, AnOpenedDialogueKeepsTheLastPayloadAFreshOneIsZeroed) {
    SequenceConfig cfg;
    DeviceDialogue d;
    Events out;
    const DeviceDialogue::Setup setup{cfg, image().data(), kImageCrc};
    auto first_command = [&] {
        for (;;) {
            const Step st = d.next(0, out);
            if (st.want == Want::transmit) return st.command;
            d.timeout();
        }
    };
    d.open(setup, CMD_JUMP_TO_APP, 0, false);
    Command c = first_command();
    EXPECT_EQ(c.f_address, 0u);
    EXPECT_EQ(std::vector<uint8_t>(c.payload, c.payload + 256), std::vector<uint8_t>(256, 0));
    // Another dialogue on it, up to its first block written.
    d.open(setup, CMD_NOP, 0, false);
    for (int n = 0; n < 100; ++n) {
        const Step st = d.next(0, out);
        if (st.want == Want::transmit && st.command.code == CMD_WRITE_UP_FLASH) break;
        if (st.want == Want::transmit) {
            from_dev_update_t r{};
            r.get_cmd = st.command.code;
            r.get_result = RES_OK;
            r.n_frame = static_cast<uint32_t>(n);
            seal(r);
            d.timeout();  // the pause over
            ASSERT_EQ(d.next(0, out).want, Want::poll);
            d.datagram(&r, 0, out);
        } else {
            d.timeout();
        }
    }
    ASSERT_EQ(d.sequence().proc, CMD_WRITE_UP_FLASH);
    d.open(setup, CMD_JUMP_TO_APP, 0, false);
    c = first_command();
    EXPECT_EQ(c.code, CMD_JUMP_TO_APP);
    EXPECT_EQ(c.f_address, FLASH_BASE);
    EXPECT_EQ(std::memcmp(c.payload, image().data(), WRITE_BLOCK_SIZE), 0);
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
