// Devices whose reply counter counts replies, only announcements, or nothing: every one is
// updated in one pass by either engine; a copy of a reply is passed over only when the device
// has shown that it numbers its replies. Whole dialogues on the fake network and virtual clock.
#include <gtest/gtest.h>

#include <string>

#include "device/bootloader.hpp"
#include "server/loop/loop_pass.hpp"
#include "server/pass.hpp"
#include "server/server.hpp"
#include "support/device_link.hpp"
#include "support/dialogue_bench.hpp"
#include "support/fakes.hpp"

namespace qd {
namespace {

using device::ReplyCounter;
using test::count;

struct CounterCase {
    const char* name;
    ReplyCounter counter;
    bool paced;
    bool parallel;
};

void PrintTo(const CounterCase& c, std::ostream* os) { *os << c.name; }

class Counters : public ::testing::TestWithParam<CounterCase>, public test::DialogueBench {
protected:
    void SetUp() override {
        const CounterCase& c = GetParam();
        counter = c.counter;
        srv().cfg.reply_paced = c.paced;
        srv().cfg.parallel = c.parallel ? 4 : 0;
    }

    bool dialogue_open() {
        for (const ParallelDialogue& d : srv().parallel.slots) {
            if (d.rec.open) return true;
        }
        return srv().loop.state != STATE_WAIT_BROADCAST;
    }

    // Passes until the dialogue that the first announcement opens has ended, or the limit of
    // virtual time.
    void serve(uint64_t limit_ms = 600000) {
        const uint64_t until = t.clock.slept_ms() + limit_ms;
        do {
            pass(srv());
        } while (dialogue_open() && t.clock.slept_ms() < until);
        ASSERT_FALSE(dialogue_open()) << "the dialogue did not end";
    }

    // Updated in one pass: one erase, every block accepted once, one flash check, one jump.
    void expect_updated_in_one_pass(const device::Bootloader& d) {
        EXPECT_TRUE(d.jumped());
        EXPECT_EQ(d.flash(), image);
        EXPECT_EQ(d.commands_received(CMD_ERASE_UP_FLASH), 1u);
        EXPECT_EQ(d.commands_received(CMD_GETCRC_FLASH), 1u);
        EXPECT_EQ(d.commands_received(CMD_JUMP_TO_APP), 1u);
        EXPECT_EQ(count(t.con.text(), "NPW:"), 480u);
    }
};

INSTANTIATE_TEST_SUITE_P(
    Cases, Counters,
    ::testing::Values(CounterCase{"RepliesFixed", ReplyCounter::replies, false, false},
                      CounterCase{"RepliesPaced", ReplyCounter::replies, true, false},
                      CounterCase{"RepliesFixedParallel", ReplyCounter::replies, false, true},
                      CounterCase{"RepliesPacedParallel", ReplyCounter::replies, true, true},
                      CounterCase{"AnnouncementsFixed", ReplyCounter::announcements, false, false},
                      CounterCase{"AnnouncementsPaced", ReplyCounter::announcements, true, false},
                      CounterCase{"AnnouncementsFixedParallel", ReplyCounter::announcements,
                                  false, true},
                      CounterCase{"AnnouncementsPacedParallel", ReplyCounter::announcements, true,
                                  true},
                      CounterCase{"StillFixed", ReplyCounter::still, false, false},
                      CounterCase{"StillPaced", ReplyCounter::still, true, false},
                      CounterCase{"StillFixedParallel", ReplyCounter::still, false, true},
                      CounterCase{"StillPacedParallel", ReplyCounter::still, true, true}),
    [](const ::testing::TestParamInfo<CounterCase>& i) { return std::string(i.param.name); });

// The device takes 2 ms over each reply and announces itself while it is being updated: every
// second, reply-paced (where an update takes about a second and a half) every 100 ms. Each
// command goes out once: no reply is taken for the copy of one before.
TEST_P(Counters, UpdatedInOnePass) {
    device::Bootloader& d = plug({192, 168, 1, 20}, device::Faults{.delay_ms = 2});
    link->announce_every(GetParam().paced ? 100 : 1000);
    serve();
    expect_updated_in_one_pass(d);
    EXPECT_GT(link->announcements, 3u) << "no announcement during the dialogue";
    EXPECT_EQ(t.net.sent.size(), 488u) << "commands sent again: announcements taken for copies";
}

// Each reply comes twice, the copy at once: the copy waits when the next command goes out and
// is dropped; nothing shifts, whatever the counter.
TEST_P(Counters, DuplicatedRepliesShiftNothing) {
    device::Bootloader& d = plug({192, 168, 1, 20}, device::Faults{.duplicate = true});
    serve();
    expect_updated_in_one_pass(d);
    EXPECT_EQ(t.net.sent.size(), 488u);
    t.net.drop_queue();
}

// Every reply comes twice, the copy late: after the next block's command has gone out and
// before the device's answer to it, which is sometimes a refusal. From a device that numbers
// its replies the copy is known and passed over; from one that does not it stands in for the
// next block's reply, and where the device refused that block the flash check finds the hole:
// the board is written again or given up, never sent to its application with another flash.
TEST_P(Counters, ALateCopyNeverSendsABoardToItsApplicationWithAnotherFlash) {
    const bool paced = GetParam().paced;
    device::Bootloader& d = plug({192, 168, 1, 20},
                                 device::Faults{.seed = 3,
                                                .duplicate = true,
                                                .delay_ms = 3,
                                                .refuse_probability = 0.05,
                                                .duplicate_delay_ms = paced ? 1u : 10u});
    serve();
    EXPECT_GT(d.commands_refused(), 10u);
    if (d.jumped()) {
        EXPECT_EQ(d.flash(), image) << "in its application with another flash";
    }
    const std::string& out = t.con.text();
    const size_t rewrites = count(out, "повторяем запись");
    const size_t failed = count(out, "Обновление не удалось, переход в приложение не выполняется");
    if (GetParam().counter == ReplyCounter::replies) {
        EXPECT_TRUE(d.jumped());
        EXPECT_EQ(rewrites + failed, 0u) << "a block was lost";
    } else {
        EXPECT_GT(rewrites + failed, 0u) << "no hole: the case does not show the flash check";
        EXPECT_EQ(d.jumped(), failed == 0u);
    }
    t.net.drop_queue();
}

}  // namespace
}  // namespace qd
