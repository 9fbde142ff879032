// The field's faults, one table over both engines and both pacings: the same device behaviour
// (silent, refusing, a wrong password, a jump never confirmed, the link down, duplicated, late
// and lost replies, a flash that differs) run through the one-at-a-time loop and through the
// engine for several devices at once, with fixed pauses and reply-paced, ends the same way: the
// same flash, the same commands at the device, the same bytes in them, the same journal line
// (its time of day apart).
// Whole dialogues on the fake network and the virtual clock.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "device/bootloader.hpp"
#include "server/journal/journal.hpp"
#include "server/loop/loop_pass.hpp"
#include "server/pass.hpp"
#include "server/server.hpp"
#include "support/device_link.hpp"
#include "support/dialogue_bench.hpp"
#include "support/fakes.hpp"

namespace qd {
namespace {

struct Behaviour {
    const char* name;
    device::Faults faults;
    // Set up on the device, its link and the server once the device is plugged in.
    std::function<void(device::Bootloader&, test::DialogueBench&)> script;
    const char* result;  // the journal's
};

void PrintTo(const Behaviour& b, std::ostream* os) { *os << b.name; }

// What a run leaves: the device's flash and the commands it received, and the journal line.
struct Outcome {
    test::Bytes flash;
    std::vector<uint64_t> received;
    bool jumped = false;
    std::vector<std::string> journal;  // the line's fields
    // The commands sent in their order, each its bytes after the frame number and before the
    // CRC: code, flash address, size and payload.
    std::vector<test::Bytes> commands;
};

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream in(line);
    for (std::string f; std::getline(in, f, ',');) out.push_back(f);
    return out;
}

bool dialogue_open(Server& srv) {
    for (const ParallelDialogue& d : srv.parallel.slots) {
        if (d.rec.open) return true;
    }
    return srv.loop.state != STATE_WAIT_BROADCAST;
}

Outcome run(const Behaviour& b, bool parallel, bool paced) {
    test::DialogueBench bench;
    Server& srv = bench.srv();
    srv.cfg.parallel = parallel ? 2 : 0;
    srv.cfg.reply_paced = paced;
    srv.cfg.stall_timeout = 5;
    std::strcpy(srv.cfg.s_Journal, "j.csv");
    journal_open(srv);
    device::Bootloader& dev = bench.plug({192, 168, 1, 20}, b.faults);
    if (b.script) b.script(dev, bench);
    const uint64_t until = bench.t.clock.slept_ms() + 600000;
    do {
        pass(srv);
    } while (dialogue_open(srv) && bench.t.clock.slept_ms() < until);
    EXPECT_FALSE(dialogue_open(srv)) << "the dialogue did not end";
    Outcome r;
    r.flash = dev.flash();
    r.jumped = dev.jumped();
    for (const uint8_t code : {CMD_NOP, CMD_ACTIVATE_BL, CMD_GET_CONFIG, CMD_UNBLOCK_FLASH,
                               CMD_ERASE_UP_FLASH, CMD_SET_PASS_BIN, CMD_WRITE_UP_FLASH,
                               CMD_GETCRC_FLASH, CMD_JUMP_TO_APP}) {
        r.received.push_back(dev.commands_received(code));
    }
    for (const test::SentDatagram& sent : bench.t.net.sent) {
        if (sent.data.size() != sizeof(from_serv_update_t)) continue;
        r.commands.emplace_back(sent.data.begin() + 16, sent.data.end() - 4);
    }
    const auto& lines = bench.t.journal.lines;
    EXPECT_EQ(lines.size(), 2u) << "the header and the device's line";
    if (lines.size() == 2) r.journal = fields(lines[1]);
    return r;
}

class BothDrivers : public ::testing::TestWithParam<Behaviour> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, BothDrivers,
    ::testing::Values(
        Behaviour{"Healthy", {}, nullptr, "updated"},
        Behaviour{"LostReplies", device::Faults{.lose = {3, 40, 489}}, nullptr, "updated"},
        Behaviour{"RefusedBlock", {},
                  [](device::Bootloader& d, test::DialogueBench&) {
                      d.refuse(CMD_WRITE_UP_FLASH, RES_GENERAL_ERROR, 2);
                  },
                  "updated"},
        Behaviour{"RefusingForEver", {},
                  [](device::Bootloader& d, test::DialogueBench&) {
                      d.refuse(CMD_ERASE_UP_FLASH, RES_BLOCKED_BY_JUMPER, 0);
                  },
                  "device-refused"},
        Behaviour{"WrongPassword", {},
                  [](device::Bootloader& d, test::DialogueBench&) {
                      d.refuse(CMD_SET_PASS_BIN, RES_BAD_PASSWORD, 0);
                  },
                  "bad-password"},
        // Sends 100..129 fail: the cable is out for 30 attempts.
        Behaviour{"LinkDown", {},
                  [](device::Bootloader&, test::DialogueBench& bench) {
                      bench.t.net.send_fails = [attempt = 0]() mutable {
                          ++attempt;
                          return attempt > 100 && attempt <= 130;
                      };
                  },
                  "updated"},
        // Its replies come after the fixed pause is over, a failed attempt drops nothing.
        Behaviour{"SlowerThanThePause", device::Faults{.delay_ms = 150},
                  [](device::Bootloader&, test::DialogueBench& bench) {
                      bench.srv().cfg.delay_write_block = 200;
                  },
                  "updated"},
        Behaviour{"DuplicatedReplies", device::Faults{.duplicate = true}, nullptr, "updated"},
        // Every reply twice, the copy after the next command has gone out.
        Behaviour{"LateCopies",
                  device::Faults{.duplicate = true, .delay_ms = 3, .duplicate_delay_ms = 10},
                  nullptr, "updated"},
        Behaviour{"WrongFlashCrcOnce",
                  device::Faults{.wrong_flash_crc = true, .wrong_crc_reports = 1}, nullptr,
                  "updated"},
        Behaviour{"WrongFlashCrcAlways", device::Faults{.wrong_flash_crc = true}, nullptr,
                  "verify-failed"},
        Behaviour{"SilentFromBlock100", {},
                  [](device::Bootloader& d, test::DialogueBench& bench) {
                      bench.link->hears = [&d](size_t, const test::SentDatagram&) {
                          return d.blocks_written() < 100;
                      };
                  },
                  "stalled"},
        Behaviour{"JumpNeverAnswered", device::Faults{.mute = {CMD_JUMP_TO_APP}}, nullptr,
                  "jump-unconfirmed"}),
    [](const ::testing::TestParamInfo<Behaviour>& i) { return std::string(i.param.name); });

TEST_P(BothDrivers, EndTheSameWay) {
    const Behaviour& b = GetParam();
    for (const bool paced : {false, true}) {
        SCOPED_TRACE(paced ? "reply-paced" : "fixed pauses");
        const Outcome one = run(b, false, paced);
        const Outcome many = run(b, true, paced);
        EXPECT_EQ(one.flash, many.flash);
        EXPECT_EQ(one.received, many.received);
        EXPECT_TRUE(one.commands == many.commands) << "the same bytes for the same steps";
        EXPECT_FALSE(one.commands.empty());
        EXPECT_EQ(one.jumped, many.jumped);
        ASSERT_EQ(one.journal.size(), 14u);
        ASSERT_EQ(many.journal.size(), 14u);
        EXPECT_EQ(one.journal[7], b.result);
        for (size_t f = 1; f < one.journal.size(); ++f) {
            EXPECT_EQ(one.journal[f], many.journal[f]) << "journal field " << f;
        }
    }
}

}  // namespace
}  // namespace qd
