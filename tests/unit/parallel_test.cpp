// Several devices at once (Parallel=N): a rack of device models behind the fake network, whole
// runs on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "device/bootloader.hpp"
#include "protocol/crc.hpp"
#include "server/loop/loop_pass.hpp"
#include "server/pass.hpp"
#include "server/journal/journal.hpp"
#include "server/parallel/parallel_engine.hpp"
#include "server/server.hpp"
#include "support/device_link.hpp"
#include "support/dialogue_bench.hpp"
#include "support/fakes.hpp"
#include "support/frames_builder.hpp"

namespace qd {
namespace {

using test::count;

// A server with the bench's settings and Parallel=N, and a rack of devices at 192.168.1.20 and
// up, serial numbers 0.128.225.1.2.(index), each announcing once a second until it has jumped.
class Rack : public ::testing::Test, public test::DialogueBench {
protected:
    void build(size_t devices, uint32_t parallel, bool paced,
               const std::vector<device::Faults>& faults = {},
               const std::function<void(size_t, device::DeviceConfig&)>& configure_device = nullptr) {
        srv().cfg.parallel = parallel;
        srv().cfg.reply_paced = paced;
        srv().cfg.on_dbg_pr = 0;
        std::vector<device::Bootloader*> ptrs;
        for (size_t i = 0; i < devices; ++i) {
            const auto last = static_cast<uint8_t>(20 + i);
            device::DeviceConfig config = test::bench_device({192, 168, 1, last}, static_cast<uint8_t>(i));
            if (configure_device) configure_device(i, config);
            rack.push_back(std::make_unique<device::Bootloader>(config));
            if (i < faults.size()) rack.back()->set_faults(faults[i]);
            ptrs.push_back(rack.back().get());
        }
        links = std::make_unique<test::RackLink>(t.net, t.clock, ptrs);
    }

    // Passes until every device has jumped, or the virtual time limit; announcements once a
    // second from each device until the server has spoken to it (a device given up is not
    // served twice). The most dialogues seen at once.
    size_t run(uint64_t limit_ms, bool until_all_jumped = true) {
        size_t most = 0;
        uint64_t next_announce = t.clock.slept_ms();
        while (t.clock.slept_ms() < limit_ms) {
            if (t.clock.slept_ms() >= next_announce) {
                for (size_t i = 0; i < rack.size(); ++i) {
                    if (links->first_heard[i] < 0) links->announce(i);
                }
                next_announce += 1000;
            }
            pass(srv());
            most = std::max(most, running());
            if (until_all_jumped && all_jumped() && running() == 0) break;
        }
        return most;
    }

    size_t running() {
        size_t n = 0;
        for (const ParallelDialogue& d : srv().parallel.slots) n += d.rec.open ? 1 : 0;
        return n;
    }

    bool all_jumped() const {
        return std::all_of(rack.begin(), rack.end(), [](const auto& d) { return d->jumped(); });
    }

    std::vector<from_serv_update_t> commands() const { return test::commands_sent(t.net); }

    // A fresh server, console and network, and no rack: the next round of a test.
    void restart() {
        links.reset();
        rack.clear();
        t.renew();
        t.con.clear();
        t.net.sent.clear();
        configure();
    }

    std::vector<std::unique_ptr<device::Bootloader>> rack;
    std::unique_ptr<test::RackLink> links;  // destroyed before the devices
};

TEST_F(Rack, ThirtyTwoDevicesUpdatedInTheTimeOfAFew) {
    for (const bool paced : {false, true}) {
        SCOPED_TRACE(paced ? "reply-paced" : "fixed pauses");
        restart();
        build(32, 32, paced);
        const uint64_t started = t.clock.slept_ms();
        run(started + 120000);
        for (size_t i = 0; i < rack.size(); ++i) {
            EXPECT_EQ(rack[i]->flash(), image) << i;
            EXPECT_EQ(rack[i]->commands_received(CMD_JUMP_TO_APP), 1u) << i;
        }
        EXPECT_EQ(links->stray, 0u) << "a command to an address that is no device's";
        const auto cmds = commands();
        ASSERT_EQ(cmds.size(), 32u * 488u);
        for (size_t i = 0; i < cmds.size(); ++i) {
            ASSERT_EQ(cmds[i].n_frame, i) << "frame numbers unique and rising";
        }
        // One device alone takes 7.8 s with fixed pauses (DelayWrite 10): the rack about as long.
        const uint64_t alone_ms = paced ? 1000u : 7800u;
        EXPECT_LT(t.clock.slept_ms() - started, 2 * alone_ms + 1000)
            << "the rack took as long as many";
    }
}

TEST_F(Rack, NeverMoreDialoguesThanParallelAllowsAndEveryDeviceServed) {
    build(10, 4, true);
    const size_t most = run(120000);
    EXPECT_EQ(most, 4u);
    EXPECT_TRUE(all_jumped());
    // The devices' receive times: at no command were more than four in their dialogues.
    for (size_t i = 0; i < rack.size(); ++i) {
        EXPECT_EQ(rack[i]->flash(), image) << i;
        size_t overlapping = 0;
        for (size_t j = 0; j < rack.size(); ++j) {
            const bool in_dialogue = links->first_heard[j] <= links->first_heard[i] &&
                                     links->last_heard[j] >= links->first_heard[i];
            if (in_dialogue) ++overlapping;
        }
        EXPECT_LE(overlapping, 4u) << i;
    }
}

// Faults on some devices only: the others complete as if alone.
TEST_F(Rack, FaultyDevicesDoNotHoldTheOthers) {
    for (const bool paced : {false, true}) {
        SCOPED_TRACE(paced ? "reply-paced" : "fixed pauses");
        restart();
        srv().cfg.stall_timeout = 3;
        device::Faults all_four{.seed = 5,
                                .loss_probability = 0.03,
                                .damage_probability = 0.03,
                                .refuse_probability = 0.03,
                                .duplicate_probability = 0.03};
        build(6, 8, paced, {all_four, {}, device::Faults{.wrong_flash_crc = true}, {}, {}, {}});
        const uint64_t started = t.clock.slept_ms();
        links->hears = [](size_t i, const test::SentDatagram& d) {
            from_serv_update_t f{};
            from_wire(d.data.data(), f);
            return !(i == 1 && f.cmd == CMD_WRITE_UP_FLASH && f.f_address >= FLASH_BASE + 25600);
        };
        // A rogue announcement, and a second serial announcing device 3's address.
        device::DeviceConfig rogue = test::bench_device({255, 255, 255, 255}, 99);
        device::Bootloader rogue_dev(rogue);
        device::DeviceConfig twin = test::bench_device({192, 168, 1, 23}, 77);
        device::Bootloader twin_dev(twin);
        uint32_t twin_addr = 0;
        std::memcpy(&twin_addr, twin.ip.data(), 4);
        links->arrive_now(rogue_dev.announcement(), 0x0101A8C0);
        run(started + 50, false);  // the rack's announcements decided, its dialogues opened
        for (int n = 0; n < 2; ++n) {
            links->arrive_now(twin_dev.announcement(), twin_addr);  // one line, not two
            links->arrive_now(rogue_dev.announcement(), 0x0101A8C0);
            run(t.clock.slept_ms() + 1, false);
        }
        run(t.clock.slept_ms() + 60000, false);
        const std::string& out = t.con.text();
        for (const size_t i : {0u, 3u, 4u, 5u}) {
            EXPECT_TRUE(rack[i]->jumped()) << i;
            EXPECT_EQ(rack[i]->flash(), image) << i;
        }
        EXPECT_FALSE(rack[1]->jumped());
        EXPECT_EQ(count(out, "192.168.1.21 Устройство не отвечает 3 с, обмен прерван\n"), 1u);
        EXPECT_FALSE(rack[2]->jumped());
        EXPECT_EQ(rack[2]->commands_received(CMD_WRITE_UP_FLASH), 3u * 480u);
        EXPECT_EQ(count(out, "192.168.1.22 Обновление не удалось, переход в приложение не "
                             "выполняется\n"),
                  1u);
        EXPECT_EQ(links->stray, 0u) << "something was sent to the rogue address";
        EXPECT_EQ(count(out, "192.168.1.23 Сер. номер 0.128.225.1.2.77 объявил адрес устройства "
                             "в обмене, объявление отброшено\n"),
                  1u);
        EXPECT_GE(count(out, "IP адрес устройства 255.255.255.255 недопустим"), 1u);
    }
}

// Boards that answer and refuse: each is given up for what it says, at its own address, the
// password at once, and the others are updated as if alone.
TEST_F(Rack, RefusingDevicesAreGivenUpForWhatTheySay) {
    for (const bool paced : {false, true}) {
        SCOPED_TRACE(paced ? "reply-paced" : "fixed pauses");
        restart();
        srv().cfg.stall_timeout = 3;
        const device::Faults moment{.delay_ms = 2};  // a refusal takes the device a moment
        build(4, 8, paced, {moment, moment, moment, moment},
              [](size_t i, device::DeviceConfig& c) {
                  if (i == 1) c.config_bits = device::CONFIG_GOES_TO_UP1;  // the jumper set
                  if (i == 2) c.bin_password = ~test::kBenchPassword;
              });
        rack[3]->refuse(CMD_WRITE_UP_FLASH, RES_PAGE_NOT_WRITTEN, 0, 50);
        run(t.clock.slept_ms() + 60000, false);
        const std::string& out = t.con.text();
        EXPECT_TRUE(rack[0]->jumped());
        EXPECT_EQ(rack[0]->flash(), image);
        for (size_t i = 1; i < 4; ++i) EXPECT_FALSE(rack[i]->jumped()) << i;
        EXPECT_EQ(count(out, "192.168.1.21 Устройство отказывает 3 с: Обновление заблокировано "
                             "джампером, обмен прерван\n"),
                  1u);
        EXPECT_EQ(count(out, "192.168.1.22 Устройство не принимает пароль образа: Неправильный "
                             "пароль при загрузке .bin, обмен прерван\n"),
                  1u);
        EXPECT_EQ(rack[2]->commands_received(CMD_SET_PASS_BIN), 3u);
        EXPECT_EQ(rack[2]->commands_received(CMD_WRITE_UP_FLASH), 0u);
        EXPECT_EQ(count(out, "192.168.1.23 Устройство отказывает 3 с: Страница не записана, "
                             "обмен прерван\n"),
                  1u);
        EXPECT_EQ(rack[3]->blocks_written(), 50u);
        EXPECT_EQ(out.find("не отвечает"), std::string::npos);
        for (size_t i = 1; i < 4; ++i) {
            EXPECT_EQ(rack[i]->commands_received(CMD_JUMP_TO_APP), 0u) << i;
        }
    }
}

// The link goes down for a stretch of sends: each command that was not sent has its one line,
// before the failed attempt it makes, and every device is updated all the same.
TEST_F(Rack, EachFailedSendIsSaidBeforeItsFailedAttempt) {
    for (const bool paced : {false, true}) {
        SCOPED_TRACE(paced ? "reply-paced" : "fixed pauses");
        restart();
        build(4, 4, paced);
        srv().cfg.on_dbg_pr = 1;  // the failed attempts' lines too
        int sends = 0;
        t.net.send_fails = [&sends] { return ++sends > 300 && sends <= 340; };
        run(120000);
        EXPECT_TRUE(all_jumped());
        for (size_t i = 0; i < rack.size(); ++i) EXPECT_EQ(rack[i]->flash(), image) << i;
        const std::string& out = t.con.text();
        EXPECT_EQ(count(out, " ERR: sendto()failed: -1\n"), 40u);
        for (size_t i = 0; i < rack.size(); ++i) {
            const std::string ip = "192.168.1." + std::to_string(20 + i) + " ";
            std::vector<std::string> lines;
            for (size_t at = out.find(ip); at != std::string::npos; at = out.find(ip, at + 1)) {
                if (at == 0 || out[at - 1] == '\n') {
                    lines.push_back(out.substr(at + ip.size(), out.find('\n', at) - at - ip.size()));
                }
            }
            for (size_t n = 0; n < lines.size(); ++n) {
                if (lines[n] != "ERR: sendto()failed: -1") continue;
                ASSERT_LT(n + 1, lines.size()) << ip;
                EXPECT_EQ(lines[n + 1].rfind("Error Net_Handler CMD_", 0), 0u)
                    << ip << "after a failed send: " << lines[n + 1];
            }
        }
    }
}

// Each dialogue's lines begin with its address and are whole; the compact level shows the
// start, the progress, the flash check and the end.
TEST_F(Rack, CompactConsoleOfOneDevice) {
    build(1, 2, true);
    run(20000);
    const std::string& out = t.con.text();
    const size_t start = out.find("192.168.1.20 Начато обновление ПО\n");
    ASSERT_NE(start, std::string::npos) << out;
    std::string expected = "192.168.1.20 Начато обновление ПО\n";
    for (int p = 10; p <= 100; p += 10) {
        expected += "192.168.1.20 Запись FLASH: " + std::to_string(p) + " %\n";
    }
    char check[96];
    std::snprintf(check, sizeof check, "192.168.1.20 FLASH UP1 CRC32: 0h%X, совпадает с образом\n",
                  image_crc());
    expected += check;
    expected += "192.168.1.20 Обновление завершено, устройство переведено в приложение: 100 мс, "
                "повторов: 0\n";
    EXPECT_EQ(out.substr(start), expected);
    // The announcement's block before it, as the one-at-a-time loop prints it.
    EXPECT_NE(out.find("Автообновление ПО для любого сер. номера разрешено!\n" + test::kSep +
                       "192.168.1.20 Начато"),
              std::string::npos);
}

TEST_F(Rack, JournalHasOneLinePerDevice) {
    std::strcpy(srv().cfg.s_Journal, "j.csv");
    journal_open(srv());
    build(3, 4, true, {{}, device::Faults{.wrong_flash_crc = true}, {}});
    run(60000, false);
    const auto& lines = t.journal.lines;
    ASSERT_EQ(lines.size(), 4u);
    std::set<std::string> results;
    for (size_t i = 1; i < lines.size(); ++i) {
        const size_t ip_at = lines[i].find(",192.168.1.");
        ASSERT_NE(ip_at, std::string::npos);
        results.insert(lines[i].substr(ip_at + 1, 12) +
                       (lines[i].find(",update,updated,") != std::string::npos         ? " updated"
                        : lines[i].find(",update,verify-failed,") != std::string::npos ? " failed"
                                                                                        : " ?"));
    }
    EXPECT_EQ(results, (std::set<std::string>{"192.168.1.20 updated", "192.168.1.21 failed",
                                              "192.168.1.22 updated"}));
}

TEST(ParallelSetting, OnlyTwoToSixtyFourRunTheEngine) {
    for (const auto& [value, on] : std::vector<std::pair<uint32_t, bool>>{
             {0, false}, {1, false}, {2, true}, {64, true}, {65, false}, {258, false},
             {0xFFFFFFFE, false}}) {
        Settings cfg;
        cfg.parallel = value;
        EXPECT_EQ(parallel_engine_on(cfg), on) << value;
    }
}

}  // namespace
}  // namespace qd
