// What the field brings to a dialogue: failed sends, addresses that are no device's, a flash
// that differs from the image, a device that stops answering, stale replies and a jump that is
// never confirmed. Whole dialogues on the fake network with the virtual clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <memory>
#include <string>
#include <vector>

#include "device/bootloader.hpp"
#include "protocol/crc.hpp"
#include "server/net/device_address.hpp"
#include "server/net/exchange.hpp"
#include "server/loop/loop_pass.hpp"
#include "server/pass.hpp"
#include "support/device_link.hpp"
#include "support/dialogue_bench.hpp"
#include "support/fakes.hpp"

namespace qd {
namespace {

using test::Bytes;

using test::count;
using test::ends_with;
using test::kNext;
using test::kSep;

// Thrown by a test's hook to end a dialogue that would otherwise go on for ever.
struct EndOfRun {};

class Field : public ::testing::Test, public test::DialogueBench {
protected:
    // A fresh server with the bench's settings, the pacing and a stall time of 5 s, for the next
    // case of a table.
    void fresh_run(bool paced) {
        link.reset();
        t.renew();
        configure();
        srv().cfg.reply_paced = paced;
        srv().cfg.stall_timeout = 5;
        t.con.clear();
        t.net.sent.clear();
    }

    // The next device after a fault: a healthy one at the same address is updated.
    void expect_next_device_updated() {
        device::Bootloader& next = plug();
        t.net.send_fails = nullptr;
        run_dialogue();
        EXPECT_TRUE(next.jumped());
        EXPECT_EQ(next.flash(), image);
    }
};

// ---- a failed send is a failed attempt ----

TEST_F(Field, LinkDownInTheWriteLoopCostsAttemptsNotTheUpdate) {
    for (const bool paced : {false, true}) {
        SCOPED_TRACE(paced ? "reply-paced" : "fixed pauses");
        srv().cfg.reply_paced = paced;
        t.con.clear();
        t.net.sent.clear();
        int attempt = 0;  // sends 100..129 fail: the cable is out for 30 attempts
        t.net.send_fails = [&attempt] {
            ++attempt;
            return attempt > 100 && attempt <= 130;
        };
        device::Bootloader& d = plug();
        run_dialogue();
        EXPECT_TRUE(d.jumped());
        EXPECT_EQ(d.flash(), image);
        const std::string& out = t.con.text();
        EXPECT_EQ(count(out, "ERR: sendto()failed: -1\n"), 30u);
        EXPECT_EQ(count(out, "ERR: sendto()failed: -1\nError Net_Handler CMD_WRITE_UP_FLASH\n"),
                  30u);
        EXPECT_EQ(t.net.sent.size(), 488u);
        EXPECT_EQ(srv().loop.dlg.dialogue.log().commands, 518u);
        EXPECT_EQ(srv().loop.dlg.dialogue.log().repeats, 30u);
    }
}

TEST_F(Field, AFailedSendShowsNoProgressCharacter) {
    srv().cfg.on_dbg_pr = 0;
    int attempt = 0;
    t.net.send_fails = [&attempt] { return ++attempt == 1; };
    plug();
    run_dialogue();
    EXPECT_NE(t.con.text().find(kSep + "ERR: sendto()failed: -1\nError Net_Handler CMD_NOP\n>D"),
              std::string::npos);
}

// ---- a port held by another program ----

// Held at start-up: said; tried again every 5 s without a word, each time on a socket of its
// own; taken at the first try after it is free, and said; then devices are served as usual.
TEST_F(Field, APortHeldByAnotherProgramIsTakenOnceItIsFree) {
    for (const uint32_t parallel : {0u, 4u}) {
        SCOPED_TRACE(parallel);
        link.reset();
        t.renew();
        configure();
        srv().cfg.parallel = parallel;
        t.con.clear();
        t.net.fail_bind = true;
        t.net.bind_tries = 0;
        t.net.closed.clear();
        open_soc_rx(srv());
        EXPECT_EQ(t.con.text(),
                  "error bind rx: 98\n"
                  "Порт 5008 занят другой программой или недоступен, ждем его освобождения\n");
        const uint64_t started = t.clock.slept_ms();
        while (t.clock.slept_ms() < started + 12000) pass(srv());
        EXPECT_EQ(t.net.bind_tries, 3) << "at the start, after 5 s and after 10 s";
        EXPECT_EQ(t.net.closed.size(), 2u) << "the sockets of the tries that failed";
        EXPECT_EQ(t.con.text().find("Порт 5008 свободен"), std::string::npos);
        EXPECT_EQ(t.con.text().find("error bind rx", 1), std::string::npos);

        t.net.fail_bind = false;  // the other program ends
        const uint64_t freed = t.clock.slept_ms();
        while (srv().exchange.rx_held && t.clock.slept_ms() < freed + 10000) pass(srv());
        EXPECT_FALSE(srv().exchange.rx_held);
        EXPECT_LE(t.clock.slept_ms(), freed + 5000) << "taken at the next try";
        EXPECT_EQ(t.net.bind_tries, 4);
        const std::string freed_line = "Порт 5008 свободен, сообщения устройств принимаются\n";
        // One at a time, the waiting counter's line is ended first.
        EXPECT_NE(t.con.text().find((parallel == 0 ? " \r\n" : "ждем его освобождения\n") +
                                    freed_line),
                  std::string::npos)
            << t.con.text().substr(t.con.text().size() - 300);

        device::Bootloader& d = plug();
        const uint64_t plugged = t.clock.slept_ms();
        while (!d.jumped() && t.clock.slept_ms() < plugged + 60000) pass(srv());
        EXPECT_TRUE(d.jumped());
        EXPECT_EQ(d.flash(), image);
        EXPECT_EQ(test::count(t.con.text(), "Порт 5008"), 2u);
    }
}

// ---- addresses that are no device's ----

struct AddressCase {
    const char* ip;
    bool usable;
};

TEST(DeviceAddress, ReservedOwnAndBroadcastAddressesAreRefused) {
    test::TestServer t;
    t.adapters.result = AdapterQuery::ok;
    t.adapters.records.resize(3);
    std::strcpy(t.adapters.records[0].ip, "192.168.1.10");
    std::strcpy(t.adapters.records[0].mask, "255.255.255.0");
    std::strcpy(t.adapters.records[1].ip, "10.1.2.3");
    std::strcpy(t.adapters.records[1].mask, "255.0.0.0");  // the third has no address
    const AddressCase cases[] = {
        {"0.0.0.0", false},        {"0.10.20.30", false},      {"127.0.0.1", false},
        {"127.255.0.9", false},    {"224.0.0.1", false},       {"239.255.255.250", false},
        {"240.0.0.1", false},      {"255.255.255.255", false}, {"192.168.1.10", false},
        {"192.168.1.255", false},  {"10.1.2.3", false},        {"10.255.255.255", false},
        {"192.168.1.20", true},    {"192.168.1.254", true},    {"1.0.0.1", true},
        {"126.255.255.255", true}, {"128.0.0.1", true},        {"223.255.255.254", true},
        {"10.255.255.254", true},  {"192.168.2.255", true},
    };
    for (const AddressCase& c : cases) {
        EXPECT_EQ(device_address_usable(*t.srv, c.ip), c.usable) << c.ip;
    }
    // Without the adapter list only the reserved ranges are known.
    t.adapters.result = AdapterQuery::failed;
    EXPECT_TRUE(device_address_usable(*t.srv, "192.168.1.255"));
    EXPECT_FALSE(device_address_usable(*t.srv, "255.255.255.255"));
}

// ---- addresses outside the PC's networks ----

AdapterRecord adapter_with(std::initializer_list<std::pair<const char*, const char*>> networks) {
    AdapterRecord a;
    for (const auto& [ip, mask] : networks) {
        a.add_network(test::host_order(ip), test::host_order(mask));
    }
    return a;
}

struct ReachCase {
    const char* name;
    std::vector<AdapterRecord> adapters;
    const char* ip;
    Reach reach;
};

TEST(PcNetworks, AnAddressIsInsideWhenOneAdaptersNetworkHoldsIt) {
    const AdapterRecord lan = adapter_with({{"198.18.9.1", "255.255.255.0"}});
    const AdapterRecord wide = adapter_with({{"10.1.2.3", "255.0.0.0"}});
    const AdapterRecord host = adapter_with({{"172.16.5.5", "255.255.255.255"}});
    const AdapterRecord two = adapter_with({{"198.18.9.1", "255.255.255.0"},
                                            {"192.168.0.10", "255.255.255.0"}});
    const AdapterRecord bare = adapter_with({});
    const ReachCase cases[] = {
        {"inside a /24", {lan}, "198.18.9.2", Reach::inside},
        {"the PC's own address", {lan}, "198.18.9.1", Reach::inside},
        {"outside a /24", {lan}, "10.9.9.2", Reach::outside},
        {"the next /24", {lan}, "198.18.10.2", Reach::outside},
        {"inside a /8", {wide}, "10.200.0.1", Reach::inside},
        {"outside a /8", {wide}, "11.0.0.1", Reach::outside},
        {"a /32: the address itself", {host}, "172.16.5.5", Reach::inside},
        {"a /32: its neighbour", {host}, "172.16.5.6", Reach::outside},
        {"the second of several adapters", {lan, wide}, "10.9.9.2", Reach::inside},
        {"the second address of an adapter", {two}, "192.168.0.1", Reach::inside},
        {"outside all of several", {lan, wide, host}, "192.168.0.1", Reach::outside},
        {"an adapter without IPv4 beside one", {bare, lan}, "10.9.9.2", Reach::outside},
        {"only adapters without IPv4", {bare, bare}, "10.9.9.2", Reach::unknown},
        {"no adapter", {}, "10.9.9.2", Reach::unknown},
    };
    for (const ReachCase& c : cases) {
        EXPECT_EQ(reach_of(test::host_order(c.ip), c.adapters), c.reach) << c.name;
    }
}

TEST(PcNetworks, TheAdaptersAsTheSystemListsThemNow) {
    test::TestServer t;
    t.adapters.records = {adapter_with({{"198.18.9.1", "255.255.255.0"}})};
    t.adapters.result = AdapterQuery::ok;
    EXPECT_EQ(address_facts(*t.srv, "10.9.9.2").reach, Reach::outside);
    EXPECT_EQ(address_facts(*t.srv, "198.18.9.7").reach, Reach::inside);
    EXPECT_EQ(address_facts(*t.srv, "198.18.9").reach, Reach::unknown) << "no address";
    t.adapters.records = {adapter_with({{"10.0.0.1", "255.0.0.0"}})};
    EXPECT_EQ(address_facts(*t.srv, "10.9.9.2").reach, Reach::inside) << "the list of this moment";
    t.adapters.result = AdapterQuery::failed;
    EXPECT_EQ(address_facts(*t.srv, "10.9.9.2").reach, Reach::unknown);
}

TEST_F(Field, AnnouncementFromAnAddressThatIsNoDevicesIsReportedButNeverAnswered) {
    srv().cfg.app_jump_regime = 1;  // a jump would go to every device
    const std::array<uint8_t, 4> rogue[] = {{0, 0, 0, 0},      {127, 0, 0, 1},
                                            {224, 0, 0, 251},  {255, 255, 255, 255},
                                            {192, 168, 1, 10}, {192, 168, 1, 255}};
    for (const auto& ip : rogue) {
        char dotted[16];
        std::snprintf(dotted, sizeof dotted, "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
        SCOPED_TRACE(dotted);
        t.con.clear();
        device::Bootloader& d = plug(ip);
        pass(srv());
        EXPECT_EQ(srv().loop.state, STATE_WAIT_BROADCAST);
        EXPECT_TRUE(t.net.sent.empty());
        EXPECT_EQ(d.valid_commands(), 0u);
        const std::string& out = t.con.text();
        EXPECT_NE(out.find(std::string("IP dev: ") + dotted + " \n"), std::string::npos);
        EXPECT_TRUE(ends_with(out, "Автообновление ПО для любого сер. номера разрешено!\n" + kSep +
                                       "IP адрес устройства " + dotted +
                                       " недопустим, обмен с ним невозможен!\n"
                                       "Игнорируем обнаруженное устройство.\n"
                                       "Ожидаем что оно перейдет на UP по таймауту.\n" +
                                       kSep))
            << out;
    }
    expect_next_device_updated();
}

// ---- the flash is checked before the jump ----

TEST_F(Field, AFlashThatDiffersIsWrittenThreeTimesAndTheDeviceNotSentToItsApplication) {
    device::Bootloader& d = plug({192, 168, 1, 20}, device::Faults{.wrong_flash_crc = true});
    run_dialogue();
    EXPECT_EQ(sent_of(CMD_WRITE_UP_FLASH), 3u * 480u);
    EXPECT_EQ(sent_of(CMD_ERASE_UP_FLASH), 3u);
    EXPECT_EQ(sent_of(CMD_JUMP_TO_APP), 0u);
    EXPECT_FALSE(d.jumped());
    EXPECT_EQ(d.flash(), image);  // written right: only its report differs
    char reported[64];
    std::snprintf(reported, sizeof reported, "CMD_GETCRC_FLASH{6} Time:3 ms\nFLASH UP1 CRC32: 0h%X \n",
                  image_crc() ^ device::WRONG_FLASH_CRC_XOR);
    char again[128];
    std::snprintf(again, sizeof again,
                  "CRC32 FLASH UP1 не совпадает с образом (0h%X), повторяем запись\n", image_crc());
    const std::string& out = t.con.text();
    EXPECT_EQ(count(out, std::string(reported) + again + "CMD_ERASE_UP_FLASH{3} Time:3 ms\n"), 2u);
    EXPECT_TRUE(ends_with(out, std::string(reported) +
                                   "Обновление не удалось, переход в приложение не выполняется\n" +
                                   kNext))
        << out;
    EXPECT_EQ(srv().loop.dlg.dialogue.log().crc_mismatches, 3u);
    expect_next_device_updated();
}

TEST_F(Field, WithoutTheFlashCheckTheReportedCrcIsOnlyPrinted) {
    srv().cfg.verify_flash = false;
    device::Bootloader& d = plug({192, 168, 1, 20}, device::Faults{.wrong_flash_crc = true});
    run_dialogue();
    EXPECT_EQ(t.net.sent.size(), 488u);
    EXPECT_TRUE(d.jumped());
    EXPECT_EQ(t.con.text().find("не совпадает"), std::string::npos);
}

// ---- a device that stops answering ----

// The device hears nothing from the server's `from`-th command on (unplugged).
void silence_from(test::TestServer& t, size_t from) {
    auto device_side = t.net.on_send;
    t.net.on_send = [&t, device_side, from](const test::SentDatagram& d) {
        if (t.net.sent.size() < from) device_side(d);
    };
}

TEST_F(Field, ASilentDeviceIsGivenUpAtTheFirstFailedAttemptPastTheStallTime) {
    struct Case {
        const char* name;
        bool paced;
        size_t silent_from;       // command number, from 1
        const char* step;         // the step that is repeated
        size_t attempts_expected;  // failed attempts until the dialogue is given up
    };
    // A block attempt takes DelayWrite (10 ms): 500 of them make 5 s. A common step's attempt
    // ends after DelayFrames + the pause after its poll (200 ms), and the attempts after the first
    // come one pass (100 ms) later: 5000 ms is passed at the end of the 17th (5100 ms).
    for (const Case& c : {Case{"block, fixed pauses", false, 57, "CMD_WRITE_UP_FLASH", 500},
                          Case{"block, reply-paced", true, 57, "CMD_WRITE_UP_FLASH", 500},
                          Case{"step, fixed pauses", false, 3, "CMD_GET_CONFIG", 17}}) {
        SCOPED_TRACE(c.name);
        fresh_run(c.paced);
        device::Bootloader& d = plug();
        silence_from(t, c.silent_from);
        run_dialogue();
        const std::string& out = t.con.text();
        EXPECT_EQ(count(out, std::string("Error Net_Handler ") + c.step + "\n"), c.attempts_expected);
        EXPECT_EQ(t.net.sent.size(), c.silent_from - 1 + c.attempts_expected);
        EXPECT_EQ(sent_of(CMD_JUMP_TO_APP), 0u);
        EXPECT_FALSE(d.jumped());
        EXPECT_TRUE(ends_with(out, std::string("Error Net_Handler ") + c.step +
                                       "\nУстройство не отвечает 5 с, обмен прерван\n" + kNext))
            << out.substr(out.size() - 300);
        EXPECT_EQ(srv().loop.dlg.dialogue.log().outcome, DialogueEnd::stalled);
        expect_next_device_updated();
    }
}

// ---- a device that answers, and refuses ----

// A board that keeps refusing its step answers: it is given up after the stall time with what it
// says, never called silent; a board that refuses the image password three times is given up at
// once. Neither is sent to its application, and the next board is updated.
TEST_F(Field, ARefusingDeviceIsGivenUpForWhatItSays) {
    struct Case {
        const char* name;
        bool paced;
        bool jumper;          // the programming jumper set: the erase is refused with 11
        uint8_t refused_cmd;  // a command refused for ever (kNone: none)...
        uint32_t result;      // ...with this result...
        uint32_t after;       // ...once this many of them were carried out
        bool wrong_password;  // the device expects another image password
        const char* tail;     // the last lines before the finishing step
        DialogueEnd outcome;
        uint64_t blocks;   // blocks written
        size_t passwords;  // CMD_SET_PASS_BIN sent
    };
    constexpr uint8_t kNone = 0xFF;
    const std::string jumper =
        "Error Net_Handler CMD_ERASE_UP_FLASH\n"
        "Устройство отказывает 5 с: Обновление заблокировано джампером, обмен прерван\n";
    const std::string page =
        "CMD_WRITE_UP_FLASH{5} Time:3 ms Error code:5  Страница не записана\n"
        "Устройство отказывает 5 с: Страница не записана, обмен прерван\n";
    const std::string bin_password =
        "CMD_SET_PASS_BIN{4} Time:3 ms Error code:10  Неправильный пароль при загрузке .bin\n"
        "Устройство не принимает пароль образа: Неправильный пароль при загрузке .bin, обмен "
        "прерван\n";
    const Case cases[] = {
        {"jumper, fixed pauses", false, true, kNone, 0, 0, false, jumper.c_str(),
         DialogueEnd::device_refused, 0, 0},
        {"jumper, reply-paced", true, true, kNone, 0, 0, false, jumper.c_str(),
         DialogueEnd::device_refused, 0, 0},
        {"writes refused after 100 blocks, fixed pauses", false, false, CMD_WRITE_UP_FLASH,
         RES_PAGE_NOT_WRITTEN, 100, false, page.c_str(), DialogueEnd::device_refused, 100, 1},
        {"writes refused after 100 blocks, reply-paced", true, false, CMD_WRITE_UP_FLASH,
         RES_PAGE_NOT_WRITTEN, 100, false, page.c_str(), DialogueEnd::device_refused, 100, 1},
        {"a result without a text", false, false, CMD_NOP, 12, 0, false,
         "CMD_NOP{0} Time:3 ms Error code:12  Устройство отказывает 5 с: код 12, обмен прерван\n",
         DialogueEnd::device_refused, 0, 0},
        {"wrong image password, fixed pauses", false, false, kNone, 0, 0, true,
         bin_password.c_str(), DialogueEnd::bad_password, 0, 3},
        {"wrong image password, reply-paced", true, false, kNone, 0, 0, true,
         bin_password.c_str(), DialogueEnd::bad_password, 0, 3},
        {"wrong password", false, false, CMD_SET_PASS_BIN, RES_BAD_PASSWORD, 0, false,
         "CMD_SET_PASS_BIN{4} Time:3 ms Error code:7  Неправильный пароль\n"
         "Устройство не принимает пароль образа: Неправильный пароль, обмен прерван\n",
         DialogueEnd::bad_password, 0, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh_run(c.paced);
        shape = [&c](device::DeviceConfig& config) {
            if (c.jumper) config.config_bits = device::CONFIG_GOES_TO_UP1;
            if (c.wrong_password) config.bin_password = ~test::kBenchPassword;
        };
        // A refusal takes the device a moment, as on the bench: reply-paced, a refused block is
        // sent again as soon as its answer is in.
        device::Bootloader& d = plug({192, 168, 1, 20}, device::Faults{.delay_ms = 2});
        if (c.refused_cmd != kNone) d.refuse(c.refused_cmd, c.result, 0, c.after);
        const uint64_t opened = t.clock.slept_ms();
        run_dialogue();
        const std::string& out = t.con.text();
        EXPECT_TRUE(ends_with(out, c.tail + kNext)) << out.substr(out.size() - 400);
        EXPECT_EQ(out.find("не отвечает"), std::string::npos);
        EXPECT_EQ(srv().loop.dlg.dialogue.log().outcome, c.outcome);
        EXPECT_EQ(d.blocks_written(), c.blocks);
        EXPECT_EQ(sent_of(CMD_SET_PASS_BIN), c.passwords);
        EXPECT_EQ(sent_of(CMD_JUMP_TO_APP), 0u);
        EXPECT_FALSE(d.jumped());
        if (c.outcome == DialogueEnd::bad_password) {  // at once, not after the stall time
            EXPECT_EQ(sent_of(CMD_WRITE_UP_FLASH), 0u);
            EXPECT_LT(t.clock.slept_ms() - opened, 5000u);
        }
        shape = nullptr;
        expect_next_device_updated();
    }
}

TEST_F(Field, StallTimeoutZeroKeepsRetrying) {
    srv().cfg.stall_timeout = 0;
    plug();
    silence_from(t, 57);
    auto silent = t.net.on_send;
    t.net.on_send = [this, silent](const test::SentDatagram& d) {
        if (t.net.sent.size() >= 20056) throw EndOfRun{};  // 200 s of attempts at one block
        silent(d);
    };
    EXPECT_THROW(run_dialogue(), EndOfRun);
    EXPECT_EQ(srv().loop.state, STATE_UPDATING);
    EXPECT_EQ(t.con.text().find("не отвечает"), std::string::npos);
}

// ---- a jump that is never confirmed ----

TEST_F(Field, AJumpIsSentFiveTimesAtMost) {
    for (const int autoprog : {2, 0}) {  // after an update; alone (AutoJumpApp=1)
        SCOPED_TRACE(autoprog);
        srv().cfg.autoprog_regime = static_cast<uint8_t>(autoprog);
        srv().cfg.app_jump_regime = 1;
        t.con.clear();
        t.net.sent.clear();
        plug({192, 168, 1, 20}, device::Faults{.mute = {CMD_JUMP_TO_APP}});
        run_dialogue();
        EXPECT_EQ(sent_of(CMD_JUMP_TO_APP), 5u);
        EXPECT_EQ(count(t.con.text(), "Error Net_Handler CMD_JUMP_TO_APP\n"), 5u);
        EXPECT_TRUE(ends_with(t.con.text(), "Error Net_Handler CMD_JUMP_TO_APP\n"
                                            "Ответ на CMD_JUMP_TO_APP не получен\n" +
                                                kNext));
    }
    srv().cfg.autoprog_regime = 2;
    expect_next_device_updated();
}

// ---- stale replies ----

// Each reply comes twice: the second copy waits when the next command goes out, and is dropped.
TEST_F(Field, DuplicatedRepliesAreDroppedAndShiftNothing) {
    for (const bool paced : {false, true}) {
        SCOPED_TRACE(paced ? "reply-paced" : "fixed pauses");
        srv().cfg.reply_paced = paced;
        srv().cfg.on_dbg_pr = 0;
        t.con.clear();
        t.net.sent.clear();
        device::Bootloader& d = plug({192, 168, 1, 20}, device::Faults{.duplicate = true});
        run_dialogue();
        EXPECT_TRUE(d.jumped());
        EXPECT_EQ(d.flash(), image);
        EXPECT_EQ(t.net.sent.size(), 488u);
        const std::string& out = t.con.text();
        EXPECT_EQ(out.find("Error Net_Handler"), std::string::npos);
        // Each copy shows as 'D' before the next command; none after the jump.
        EXPECT_EQ(count(out, "\nD>"), 487u);
        EXPECT_EQ(count(out, ">D"), 488u);
        t.net.drop_queue();  // the copy of the jump's reply: nothing follows the jump
    }
}

// Every reply comes twice, the copy late: after the next block's command has gone out, and
// before the device's own answer to it, which is sometimes a refusal. The copy carries the
// number of the reply it repeats and is not taken for the next block's.
TEST_F(Field, ALateCopyOfAReplyNeverStandsInForTheNextBlock) {
    for (const bool paced : {false, true}) {
        SCOPED_TRACE(paced ? "reply-paced" : "fixed pauses");
        srv().cfg.reply_paced = paced;
        t.con.clear();
        device::Bootloader& d = plug({192, 168, 1, 20},
                                     device::Faults{.seed = 3,
                                                    .duplicate = true,
                                                    .delay_ms = 3,
                                                    .refuse_probability = 0.05,
                                                    .duplicate_delay_ms = paced ? 1u : 10u});
        run_dialogue(1000);
        EXPECT_GT(d.commands_refused(), 10u);
        EXPECT_TRUE(d.jumped());
        EXPECT_EQ(d.flash(), image);
        EXPECT_EQ(t.con.text().find("повторяем запись"), std::string::npos) << "a block was lost";
        t.net.drop_queue();
    }
}

// A device slower than the pause: its reply comes after the poll; a failed attempt drops
// nothing, so the next attempt's poll still takes it.
TEST_F(Field, ADeviceSlowerThanThePauseIsStillUpdated) {
    for (const bool paced : {false, true}) {
        SCOPED_TRACE(paced ? "reply-paced" : "fixed pauses");
        srv().cfg.reply_paced = paced;
        srv().cfg.delay_write_block = 200;
        t.con.clear();
        device::Bootloader& d = plug({192, 168, 1, 20}, device::Faults{.delay_ms = 150});
        run_dialogue();
        EXPECT_TRUE(d.jumped());
        EXPECT_EQ(d.flash(), image);
        EXPECT_NE(t.con.text().find("Error Net_Handler CMD_NOP\nCMD_NOP{0} Time:3 ms\n"),
                  std::string::npos);
    }
}

// Lost, damaged, refused and duplicated replies at 3 % each, several seeds: the device is sent
// to its application only with the image in its flash.
TEST_F(Field, AllFourFaultsNeverEndInAWrongFlash) {
    for (const bool paced : {false, true}) {
        for (uint32_t seed = 1; seed <= 4; ++seed) {
            SCOPED_TRACE(std::string(paced ? "reply-paced" : "fixed pauses") + " seed " +
                         std::to_string(seed));
            srv().cfg.reply_paced = paced;
            device::Faults f{.seed = seed,
                             .loss_probability = 0.03,
                             .damage_probability = 0.03,
                             .refuse_probability = 0.03,
                             .duplicate_probability = 0.03};
            device::Bootloader& d = plug({192, 168, 1, 20}, f);
            run_dialogue(1000);
            EXPECT_EQ(srv().loop.state, STATE_WAIT_BROADCAST);
            EXPECT_TRUE(d.jumped());
            EXPECT_EQ(d.flash(), image);
            EXPECT_GT(d.commands_refused(), 0u);
        }
    }
}

}  // namespace
}  // namespace qd
