// Whole updates one device at a time: transcripts, frames, pauses and retries.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "device/bootloader.hpp"
#include "protocol/bytes.hpp"
#include "protocol/crc.hpp"
#include "server/loop/loop_pass.hpp"
#include "server/config/rules_config.hpp"
#include "server/pass.hpp"
#include "server/loop/loop_dialogue.hpp"
#include "support/device_link.hpp"
#include "support/fakes.hpp"
#include "support/frames_builder.hpp"

namespace qd {
namespace {

using test::Bytes;

const std::string kSep = std::string(56, '-') + "\n";
const std::string kStamp = "[05/03/2026 09:08:07]";
constexpr uint32_t kPassword = 0x1A2B3C4D;
constexpr uint32_t kTime = 3;  // ms the device reports per command

Bytes test_image() {
    Bytes image(IMAGE_SIZE);
    std::mt19937 rng(7);
    for (auto& b : image) b = static_cast<uint8_t>(rng());
    return image;
}

device::DeviceConfig device_config(uint8_t last_ip, uint8_t last_mac) {
    device::DeviceConfig c;
    c.mac = {0, 128, 225, 1, 2, last_mac};
    c.ip = {192, 168, 1, last_ip};
    c.ver_hw = 3;
    c.ver_bl = 2;
    c.num_key = 17;
    c.crc_bl = 0xB00710AD;
    c.bin_password = kPassword;
    c.time_proc = kTime;
    return c;
}

// A server with a loaded image and AutoProg=2, and a device with an erased flash behind the
// fake network.
class Updating : public ::testing::Test {
protected:
    Updating() : image(test_image()), dev(device_config(20, 255)), link(t.net, t.clock, dev) {
        Server& s = srv();
        std::memcpy(s.img_bf, image.data(), IMAGE_SIZE);
        note_image(s, true);
        std::snprintf(s.cfg.s_BinContainer, sizeof s.cfg.s_BinContainer, "%X.upk",
                      fullcalk_crc32(image.data(), IMAGE_SIZE, CRC32_POLY));
        s.cfg.autoprog_regime = 2;
        s.cfg.bin_pass = kPassword;
    }

    Server& srv() { return *t.srv; }

    int run_dialogue(int max_passes = 50) { return test::run_dialogue(srv(), max_passes); }
    std::vector<from_serv_update_t> commands() const { return test::commands_sent(t.net); }

    test::TestServer t;
    Bytes image;
    device::Bootloader dev;
    test::DeviceLink link;
};

std::string report(const char* name, int code, bool compact) {
    char line[128];
    if (compact) {
        std::snprintf(line, sizeof line, ">D%s%s{%d} Res:1 Time:%u ms\n", kStamp.c_str(), name,
                      code, kTime);
    } else {
        std::snprintf(line, sizeof line, "%s{%d} Time:%u ms\n", name, code, kTime);
    }
    return line;
}

// The whole console of one complete update, from the waiting line to the closing lines.
std::string full_update_transcript(const Bytes& image, bool compact) {
    const uint32_t crc = fullcalk_crc32(image.data(), IMAGE_SIZE, CRC32_POLY);
    char line_a[160];
    std::snprintf(line_a, sizeof line_a,
                  "Имя bin файла для обновления: %X.upk; CRC32 текущей программы UP1: 7EF40B2C \n",
                  crc);
    // An erased flash, 122880 bytes of FF, has the CRC-32 7EF40B2C.
    std::string out = "Ожидание широковещательного сообщения от устройства: 0 \r";
    out += compact ? "B" : "";
    out += "\n" + kSep + kStamp +
           "\nПринято широковещательное сообщение от обновляемого устройства (dev)\n"
           "Версия структуры: 1 \nВерсия HW: 3 \nВерсия протокола: 2 \n"
           "Учетный номер применяемого шифроключа: 17 \nCRC32 бутлоадера: 0hB00710AD \n"
           "MAC dev/serNum: 0:128:225:1:2:255\nIP dev: 192.168.1.20 \nPort dev: 5008 \n"
           "CRC32 текущей пользовательской программы UP1: 0h7EF40B2C \n"
           "Номер принятого пакета: 0 \n" +
           kSep + "Анализ необходимости обновления:\n" + line_a +
           "ПО в файле и существующее ПО НЕ совпадают!\n"
           "Автообновление ПО для любого сер. номера разрешено!\n" +
           kSep;
    out += report("CMD_NOP", 0, compact) + report("CMD_ACTIVATE_BL", 1, compact);
    out += report("CMD_GET_CONFIG", 9, compact) + "Переход на UP1\nПрограммирование возможно\n";
    out += report("CMD_UNBLOCK_FLASH", 2, compact) + report("CMD_ERASE_UP_FLASH", 3, compact);
    out += report("CMD_SET_PASS_BIN", 4, compact);
    for (uint32_t n = 0; n < 480; ++n) {
        char progress[64];
        std::snprintf(progress, sizeof progress, " NPW:%u; Adr: 0h%X; \n", n, 0x08010000 + 256 * n);
        out += report("CMD_WRITE_UP_FLASH", 5, compact) + progress;
    }
    char flash_crc[64];
    std::snprintf(flash_crc, sizeof flash_crc, "FLASH UP1 CRC32: 0h%X \n", crc);
    out += report("CMD_GETCRC_FLASH", 6, compact) + flash_crc;
    out += report("CMD_JUMP_TO_APP", 7, compact);
    out += kSep + "Ожидаем широковещательное сообщение от следующего устройства.\n" + kSep;
    return out;
}

TEST_F(Updating, CompleteUpdateInOnePassWithItsWholeConsole) {
    for (const bool compact : {true, false}) {
        SCOPED_TRACE(compact ? "compact" : "verbose");
        device::Bootloader fresh(device_config(20, 255));
        test::TestServer s;
        test::DeviceLink l(s.net, s.clock, fresh);
        std::memcpy(s.srv->img_bf, image.data(), IMAGE_SIZE);
        note_image(*s.srv, true);
        std::strcpy(s.srv->cfg.s_BinContainer, srv().cfg.s_BinContainer);
        s.srv->cfg.autoprog_regime = 2;
        s.srv->cfg.bin_pass = kPassword;
        s.srv->cfg.on_dbg_pr = compact ? 0 : 1;
        l.announce();
        pass(*s.srv);
        EXPECT_EQ(s.srv->loop.state, STATE_WAIT_BROADCAST);
        EXPECT_TRUE(fresh.jumped());
        EXPECT_EQ(fresh.flash(), image);
        const std::string expected = full_update_transcript(image, compact);
        EXPECT_EQ(s.con.text(), expected);
        EXPECT_EQ(s.net.sent.size(), 488u);
        EXPECT_EQ(s.net.closed, std::vector<int>{s.srv->exchange.so_tx_s});
    }
}

// The pauses of one update, from the opening of the send socket to the end of the pass: 100
// after opening, two DelayFrames for each of NOP, ACTIVATE, GET_CONFIG, UNBLOCK, GETCRC and
// JUMP, 1000 + DelayFrames for the erase, three DelayFrames for the password, 480 DelayWrite and
// one DelayFrames for the write loop, 100 after closing and the pass's own 100.
TEST(UpdatePauses, AddUpToTheBudgetOfTheDelays) {
    struct Case {
        uint16_t frames;
        uint16_t write;
        uint64_t total_ms;
    };
    for (const Case c : {Case{100, 10, 7800}, Case{5, 1, 1865}, Case{0, 0, 1300},
                         Case{250, 40, 1300 + 17 * 250 + 480 * 40}}) {
        test::TestServer s;
        device::Bootloader d(device_config(20, 255));
        test::DeviceLink l(s.net, s.clock, d);
        note_image(*s.srv, true);
        s.srv->cfg.autoprog_regime = 3;
        s.srv->cfg.bin_pass = kPassword;
        s.srv->cfg.delay_steps = c.frames;
        s.srv->cfg.delay_write_block = c.write;
        l.announce();
        pass(*s.srv);
        EXPECT_TRUE(d.jumped()) << c.frames << "/" << c.write;
        EXPECT_EQ(s.clock.slept_ms(), c.total_ms) << c.frames << "/" << c.write;
    }
}

// Commands and their frames: the order, the payloads and the addresses carried over.
TEST_F(Updating, FramesOfAnUpdateAndWhatTheNextDialogueCarries) {
    link.announce();
    ASSERT_EQ(run_dialogue(), 1);
    auto cmds = commands();
    ASSERT_EQ(cmds.size(), 488u);
    const uint32_t order[8] = {0, 1, 9, 2, 3, 4, 5, 5};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(cmds[static_cast<size_t>(i)].cmd, order[i]) << i;
    for (size_t i = 0; i < cmds.size(); ++i) EXPECT_EQ(cmds[i].n_frame, i);
    for (size_t i = 0; i < 5; ++i) {  // before the password: zero payload, address 0
        EXPECT_EQ(cmds[i].f_address, 0u);
        EXPECT_EQ(Bytes(cmds[i].ext_area, cmds[i].ext_area + 256), Bytes(256, 0));
    }
    EXPECT_EQ(byte_to_int(cmds[5].ext_area, 0), kPassword);
    EXPECT_EQ(Bytes(cmds[5].ext_area + 4, cmds[5].ext_area + 256), Bytes(252, 0));
    const Bytes last_block(image.end() - 256, image.end());
    EXPECT_EQ(cmds[485].f_address, 0x0802DF00u);
    for (size_t i = 485; i < 488; ++i) {  // last block, GETCRC, JUMP
        EXPECT_EQ(Bytes(cmds[i].ext_area, cmds[i].ext_area + 256), last_block) << i;
        EXPECT_EQ(cmds[i].f_address, 0x0802DF00u) << i;
    }
    EXPECT_EQ(cmds[486].cmd, 6u);
    EXPECT_EQ(cmds[487].cmd, 7u);

    // A second device, one pass later: frame numbers and waiting counter go on, and its early
    // commands carry the last block and its address.
    device::Bootloader second(device_config(21, 254));
    t.net.sent.clear();
    {
        test::DeviceLink link2(t.net, t.clock, second);
        pass(srv());  // waiting, nothing there
        link2.announce();
        t.con.clear();
        pass(srv());
    }
    EXPECT_EQ(t.con.text().rfind("Ожидание широковещательного сообщения от устройства: 2 \r", 0), 0u);
    EXPECT_EQ(second.flash(), image);
    cmds = commands();
    ASSERT_EQ(cmds.size(), 488u);
    EXPECT_EQ(cmds[0].n_frame, 488u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(cmds[i].f_address, 0x0802DF00u) << i;
        EXPECT_EQ(Bytes(cmds[i].ext_area, cmds[i].ext_area + 256), last_block) << i;
    }
    EXPECT_EQ(byte_to_int(cmds[5].ext_area, 0), kPassword);
    EXPECT_EQ(Bytes(cmds[5].ext_area + 4, cmds[5].ext_area + 256),
              Bytes(last_block.begin() + 4, last_block.end()));
}

// What goes wrong on the way, and how the server carries on.
struct RetryCase {
    const char* name;
    std::function<void(test::TestServer&, device::Bootloader&)> arrange;
    std::vector<std::string> in_order;  // these texts appear, one after another
    std::string absent;                 // and this one never
    int passes;                         // of the main loop, until the dialogue has ended
};

void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.name; }

class Retrying : public Updating, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(Retrying, RepeatsTheStepAndStillWritesTheImage) {
    const auto& c = GetParam();
    srv().cfg.on_dbg_pr = 1;
    c.arrange(t, dev);
    link.announce();
    const int passes = run_dialogue();
    EXPECT_EQ(srv().loop.state, STATE_WAIT_BROADCAST);
    EXPECT_EQ(passes, c.passes);
    EXPECT_TRUE(dev.jumped());
    EXPECT_EQ(dev.flash(), image);
    const std::string& out = t.con.text();
    size_t at = 0;
    for (const auto& text : c.in_order) {
        at = out.find(text, at);
        ASSERT_NE(at, std::string::npos) << text;
        ++at;
    }
    if (!c.absent.empty()) {
        EXPECT_EQ(out.find(c.absent), std::string::npos) << c.absent;
    }
}

device::Faults lose(std::set<uint64_t> n) { return device::Faults{.lose = std::move(n)}; }

// Puts a datagram on the wire right after the first command, ahead of the device's reply.
void ahead_of_first_reply(test::TestServer& s, Bytes datagram) {
    auto device_side = s.net.on_send;
    s.net.on_send = [&s, device_side, datagram](const test::SentDatagram& d) {
        if (s.net.sent.size() == 1) s.net.arrive(datagram);
        device_side(d);
    };
}

INSTANTIATE_TEST_SUITE_P(
    Table, Retrying,
    ::testing::Values(
        RetryCase{"lost_reply",
                  [](auto&, device::Bootloader& d) { d.set_faults(lose({1})); },
                  {"Error Net_Handler CMD_NOP\n", "CMD_NOP{0} Time:3 ms\n"}, "", 2},
        RetryCase{"damaged_reply",
                  [](auto&, device::Bootloader& d) {
                      d.set_faults(device::Faults{.damage = {2}});
                  },
                  {"CMD_NOP{0} Time:3 ms\n", "Error Net_Handler CMD_ACTIVATE_BL\n",
                   "CMD_ACTIVATE_BL{1} Time:3 ms\n"},
                  "",
                  2},
        RetryCase{"result_other_than_1",
                  [](auto&, device::Bootloader& d) { d.refuse(CMD_NOP, RES_GENERAL_ERROR, 1); },
                  {"CMD_NOP{0} Time:3 ms Error code:0  Общая ошибка\n", "CMD_NOP{0} Time:3 ms\n"},
                  "Error Net_Handler CMD_NOP",
                  2},
        RetryCase{"reply_naming_another_command",
                  [](test::TestServer& s, auto&) {
                      ahead_of_first_reply(s, test::wire(test::reply(CMD_GETCRC_FLASH, 1, 3)));
                  },
                  {"CMD_NOP{6} Time:3 ms\n", "CMD_NOP{0} Time:3 ms\n"},
                  "Error Net_Handler CMD_NOP",
                  2},
        RetryCase{"erase_result_0",
                  [](auto&, device::Bootloader& d) {
                      d.refuse(CMD_ERASE_UP_FLASH, RES_GENERAL_ERROR, 1);
                  },
                  {"CMD_UNBLOCK_FLASH{2} Time:3 ms\n", "Error Net_Handler CMD_ERASE_UP_FLASH\n",
                   "CMD_ERASE_UP_FLASH{3} Time:3 ms\n"},
                  "CMD_ERASE_UP_FLASH{3} Time:3 ms Error code",
                  2},
        RetryCase{"lost_block_reply",
                  [](auto&, device::Bootloader& d) { d.set_faults(lose({6 + 11})); },
                  {" NPW:9; Adr: 0h8010900; \n", "Error Net_Handler CMD_WRITE_UP_FLASH\n",
                   " NPW:10; Adr: 0h8010A00; \n", " NPW:479; Adr: 0h802DF00; \n"},
                  "",
                  1},
        RetryCase{"broadcast_in_place_of_a_reply",
                  [](test::TestServer& s, auto&) {
                      ahead_of_first_reply(s, test::wire(test::broadcast(0x1)));
                  },
                  {"Error Net_Handler CMD_NOP\n", "CMD_NOP{0} Time:3 ms\n"},
                  "",
                  2},
        RetryCase{"jump_reply_lost",
                  [](auto&, device::Bootloader& d) { d.set_faults(lose({488})); },
                  {"FLASH UP1 CRC32", "Error Net_Handler CMD_JUMP_TO_APP\n",
                   "CMD_JUMP_TO_APP{7} Time:3 ms\n"},
                  "",
                  2}),
    [](const auto& tc) { return std::string(tc.param.name); });

// The re-sent block is the same block at the same address, with a new frame number.
TEST_F(Updating, LostBlockReplyResendsTheSameBlock) {
    dev.set_faults(lose({6 + 11}));  // the reply to block 10
    link.announce();
    run_dialogue();
    const auto cmds = commands();
    ASSERT_GE(cmds.size(), 18u);
    const from_serv_update_t& first = cmds[16];
    const from_serv_update_t& again = cmds[17];
    EXPECT_EQ(first.cmd, 5u);
    EXPECT_EQ(again.cmd, 5u);
    EXPECT_EQ(first.f_address, 0x08010A00u);
    EXPECT_EQ(again.f_address, 0x08010A00u);
    EXPECT_EQ(std::memcmp(first.ext_area, again.ext_area, 256), 0);
    EXPECT_EQ(std::memcmp(first.ext_area, image.data() + 0xA00, 256), 0);
    EXPECT_EQ(again.n_frame, first.n_frame + 1);
    EXPECT_EQ(dev.commands_received(CMD_WRITE_UP_FLASH), 481u);
}

TEST_F(Updating, JumpOnlyDialogue) {
    srv().cfg.autoprog_regime = 0;
    srv().cfg.app_jump_regime = 1;
    link.announce();
    EXPECT_EQ(run_dialogue(), 1);
    const auto cmds = commands();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].cmd, CMD_JUMP_TO_APP);
    EXPECT_TRUE(dev.jumped());
    const std::string tail = "Автообновление ПО запрещено!\n" + kSep +
                             "Передаем обнаруженному устройству команду CMD_JUMP_TO_APP.\n" +
                             ">D" + kStamp + "CMD_JUMP_TO_APP{7} Res:1 Time:3 ms\n" + kSep +
                             "Ожидаем широковещательное сообщение от следующего устройства.\n" +
                             kSep;
    const std::string& out = t.con.text();
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST_F(Updating, IgnoredAndUnflashableDevicesGetNoCommand) {
    for (const bool loaded : {true, false}) {
        t.con.clear();
        srv().cfg.autoprog_regime = loaded ? 0 : 2;
        srv().image_loaded = loaded;
        link.announce();
        pass(srv());
        EXPECT_TRUE(t.net.sent.empty());
        EXPECT_EQ(srv().loop.state, STATE_WAIT_BROADCAST);
        const std::string tail =
            std::string(loaded ? "Автообновление ПО запрещено!\n"
                               : "Автообновление ПО для любого сер. номера разрешено!\n") +
            kSep + (loaded ? "" : "Образ ПО не загружен, обновление невозможно!\n") +
            "Игнорируем обнаруженное устройство.\nОжидаем что оно перейдет на UP по таймауту.\n" +
            kSep;
        const std::string& out = t.con.text();
        ASSERT_GE(out.size(), tail.size());
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    }
    EXPECT_EQ(dev.valid_commands(), 0u);
}

// Nothing is told while a dialogue's opening pause is passed over.
class NoEvents final : public SequenceOutput {
    void reply(const from_dev_update_t&, uint8_t) override {}
    void no_reply(uint8_t) override {}
    void block_written(uint32_t) override {}
    void flash_crc(uint32_t, bool) override {}
    void config_read(uint8_t) override {}
    void written_again(uint32_t) override {}
    void given_up(const GiveUp&) override {}
};

// Single steps against scripted replies: the dialogue opened at step `proc`, its opening pause
// passed over, and the device answers each command with `r`.
void run_step(test::TestServer& t, uint8_t proc, const from_dev_update_t& r) {
    t.srv->cfg.on_dbg_pr = 1;
    t.srv->loop.state = STATE_UPDATING;
    DeviceDialogue& dlg = t.srv->loop.dlg.dialogue;
    dlg.open(dialogue_setup(t.srv->cfg, t.srv->img_bf, t.srv->image_crc), proc, 0, false);
    NoEvents none;
    ASSERT_EQ(dlg.next(0, none).want, Want::wait);
    dlg.timeout();
    t.net.on_send = [&t, r](const test::SentDatagram&) { t.net.arrive(test::wire(r)); };
    run_update_steps(*t.srv);
}

TEST(Step, ConfigurationLines) {
    struct Case {
        uint8_t bits;
        std::string lines;
    };
    for (const Case& c : {Case{0x02, "Переход на UP1\nПрограммирование запрещено перемычкой\n"},
                          Case{0x01, "Переход на UP2\nПрограммирование возможно\n"},
                          Case{0xFC, "Переход на UP2\nПрограммирование запрещено перемычкой\n"}}) {
        test::TestServer t;
        from_dev_update_t r = test::reply(CMD_GET_CONFIG, 1, 2);
        r.ext_area[0] = c.bits;
        run_step(t, CMD_GET_CONFIG, r);
        // Accepted; then CMD_UNBLOCK_FLASH goes out and its answer (a GET_CONFIG reply) is not.
        EXPECT_EQ(t.srv->loop.dlg.dialogue.sequence().proc, CMD_UNBLOCK_FLASH);
        EXPECT_EQ(t.con.text(), "CMD_GET_CONFIG{9} Time:2 ms\n" + c.lines +
                                    "CMD_UNBLOCK_FLASH{9} Time:2 ms\n");
        ASSERT_EQ(t.net.sent.size(), 2u);
        from_serv_update_t next{};
        from_wire(t.net.sent[1].data.data(), next);
        EXPECT_EQ(next.cmd, CMD_UNBLOCK_FLASH);
    }
}

TEST(Step, FlashCrcLine) {
    test::TestServer t;
    t.srv->cfg.verify_flash = false;  // the reported CRC is not the (empty) image's
    from_dev_update_t r = test::reply(CMD_GETCRC_FLASH, 1, 2);
    r.ext_area[0] = 0x78, r.ext_area[1] = 0x56, r.ext_area[2] = 0x34, r.ext_area[3] = 0x12;
    run_step(t, CMD_GETCRC_FLASH, r);
    EXPECT_EQ(t.con.text(),
              "CMD_GETCRC_FLASH{6} Time:2 ms\nFLASH UP1 CRC32: 0h12345678 \n"
              "CMD_JUMP_TO_APP{6} Time:2 ms\n");
    EXPECT_EQ(t.srv->loop.dlg.dialogue.sequence().proc, CMD_JUMP_TO_APP);
}

TEST(Step, EraseRefusedIsNotReported) {
    test::TestServer t;
    run_step(t, CMD_ERASE_UP_FLASH, test::reply(CMD_ERASE_UP_FLASH, 0, 2));
    EXPECT_EQ(t.con.text(), "Error Net_Handler CMD_ERASE_UP_FLASH\n");
    EXPECT_EQ(t.srv->loop.dlg.dialogue.sequence().proc, CMD_ERASE_UP_FLASH);
    EXPECT_EQ(t.clock.slept_ms(), 1000u + 100u);
}

}  // namespace
}  // namespace qd

namespace qd {
namespace {

// Reply-paced: the same dialogue, each pause before a poll cut short by the reply.
class ReplyPaced : public Updating {
protected:
    ReplyPaced() {
        srv().cfg.reply_paced = true;
        srv().cfg.on_dbg_pr = 1;
    }
};

TEST_F(ReplyPaced, SameDialogueWithOnlyTheFixedPausesLeft) {
    // The device answers at once: what is left are the 100 ms after opening the send socket,
    // after closing it, and at the end of the pass.
    link.announce();
    EXPECT_EQ(run_dialogue(), 1);
    EXPECT_EQ(dev.flash(), image);
    EXPECT_EQ(t.clock.slept_ms(), 300u);
    EXPECT_EQ(t.con.text(), full_update_transcript(image, false));
    EXPECT_EQ(t.net.sent.size(), 488u);
}

TEST_F(ReplyPaced, EachWaitEndsWhenTheReplyIsIn) {
    dev.set_faults(device::Faults{.delay_ms = 7});
    link.announce();
    EXPECT_EQ(run_dialogue(), 1);
    EXPECT_EQ(dev.flash(), image);
    EXPECT_EQ(t.clock.slept_ms(), 300u + 488u * 7u);
}

TEST_F(ReplyPaced, ALostReplyKeepsThePaceOfTheRetries) {
    dev.set_faults(lose({1}));
    link.announce();
    EXPECT_EQ(run_dialogue(), 2);
    EXPECT_EQ(dev.flash(), image);
    // The lost one waits its whole DelayFrames and the pause after its poll stays; then the
    // next pass begins after its 100 ms.
    EXPECT_EQ(t.clock.slept_ms(), 300u + 100u + 100u + 100u);
    EXPECT_NE(t.con.text().find("Error Net_Handler CMD_NOP\nCMD_NOP{0} Time:3 ms\n"),
              std::string::npos);
}

TEST_F(ReplyPaced, OtherTrafficIsReadAndDroppedWhileTheWaitGoesOn) {
    srv().cfg.on_dbg_pr = 0;
    ahead_of_first_reply(t, test::wire(test::broadcast(0x1)));  // another device
    auto device_side = t.net.on_send;
    t.net.on_send = [this, device_side](const test::SentDatagram& d) {
        if (t.net.sent.size() == 2) {
            t.net.arrive(Bytes(77, 0xEE));                                  // junk
            t.net.arrive(test::wire(test::reply(CMD_ACTIVATE_BL, 1), false));  // damaged
        }
        device_side(d);
    };
    link.announce();
    EXPECT_EQ(run_dialogue(), 1);
    EXPECT_EQ(dev.flash(), image);
    const std::string& out = t.con.text();
    EXPECT_EQ(out.find("Error Net_Handler"), std::string::npos);
    // The broadcast shows as 'B' between the command and its reply.
    EXPECT_NE(out.find(">BD" + kStamp + "CMD_NOP{0} Res:1 Time:3 ms\n>D" + kStamp +
                       "CMD_ACTIVATE_BL{1} Res:1 Time:3 ms\n"),
              std::string::npos);
}

}  // namespace
}  // namespace qd
