// The device report, the update decision and the acting step.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "server/loop/loop_pass.hpp"
#include "server/pass.hpp"
#include "support/fakes.hpp"
#include "support/frames_builder.hpp"

namespace qd {
namespace {

const std::string kSep = std::string(56, '-') + "\n";
const std::string kSame = "ПО в файле и существующее ПО совпадают!\n";
const std::string kOther = "ПО в файле и существующее ПО НЕ совпадают!\n";
const std::string kForbidden = "Автообновление ПО запрещено!\n";
const std::string kForced =
    "Автообновление ПО принудительно!\nВнимание! Выполняйте только однократно!\n";
const std::string kByList = "Автообновление ПО по списку разрешено!\n";
const std::string kFound = "Сер. номер найден в списке\n";
const std::string kNotFound = "Сер. номер НЕ найден в списке!\n";
const std::string kAny = "Автообновление ПО для любого сер. номера разрешено!\n";

struct DecisionCase {
    const char* name;
    uint8_t type_container;
    const char* bin_container;
    uint32_t crc_uflash;
    uint8_t autoprog;
    std::vector<std::vector<uint8_t>> allowlist;  // rmac0.. as set at start-up
    std::vector<uint8_t> mac;
    std::string verdict;  // the lines after the line A
};

void PrintTo(const DecisionCase& c, std::ostream* os) { *os << c.name; }

const std::vector<uint8_t> kMac = {0, 128, 225, 1, 2, 255};
const std::vector<uint8_t> kOtherMac = {0, 128, 225, 1, 2, 254};
const std::vector<uint8_t> kZeros(6, 0);

class Decision : public ::testing::TestWithParam<DecisionCase> {};

// The device report, then the decision's words between "Анализ..." and the closing separator:
// each finding's lines, as the analysis (its table in update_core_test) found them.
TEST_P(Decision, LinesAndVerdict) {
    const auto& c = GetParam();
    test::TestServer t;
    Server& srv = *t.srv;
    srv.cfg.type_file_for_update = c.type_container;
    std::strcpy(srv.cfg.s_BinContainer, c.bin_container);
    srv.cfg.autoprog_regime = c.autoprog;
    for (size_t n = 0; n < c.allowlist.size(); ++n) {
        std::memcpy(srv.cfg.entry_mac(static_cast<int>(n)), c.allowlist[n].data(), 6);
    }
    srv.loop.enable_update_up1 = 0;
    from_dev_bcst_t bc = test::broadcast(c.crc_uflash);
    std::memcpy(bc.my_mac, c.mac.data(), 6);
    t.net.arrive(test::wire(bc));

    wait_for_broadcast(srv);

    const std::string& out = t.con.text();
    const std::string heading = "Анализ необходимости обновления:\n";
    const size_t at = out.find(heading);
    ASSERT_NE(at, std::string::npos);
    char line_a[160];
    std::snprintf(line_a, sizeof line_a,
                  "Имя bin файла для обновления: %s; CRC32 текущей программы UP1: %X \n",
                  c.bin_container, c.crc_uflash);
    const std::string decision = c.type_container != 0 ? "" : std::string(line_a) + c.verdict;
    EXPECT_EQ(out.substr(at + heading.size()), decision + kSep);
    EXPECT_EQ(srv.loop.state, STATE_DECIDED);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Decision,
    ::testing::Values(
        DecisionCase{"type_1", 1, "ABCDEF.upk", 0xABCDEF, 2, {}, kMac, ""},
        DecisionCase{"same_prog_0", 0, "ABCDEF.upk", 0x00ABCDEF, 0, {}, kMac, kSame + kForbidden},
        DecisionCase{"same_prog_3", 0, "ABCDEF.upk", 0x00ABCDEF, 3, {}, kMac, kSame + kForced},
        DecisionCase{"same_prog_4", 0, "ABCDEF.upk", 0x00ABCDEF, 4, {}, kMac, kSame},
        DecisionCase{"other_list_double_hit", 0, "D718226B.upk", 0x1, 1, {kMac, kZeros, kMac}, kMac,
                     kOther + kByList + kFound + kFound},
        DecisionCase{"other_list_miss", 0, "D718226B.upk", 0x1, 1, {kOtherMac}, kMac,
                     kOther + kByList + kNotFound},
        DecisionCase{"other_prog_2", 0, "D718226B.upk", 0x1, 2, {}, kMac, kOther + kAny}),
    [](const auto& tc) { return std::string(tc.param.name); });

// One at a time, an analysis that writes nothing acts on the flag the last board left: a board
// after one that was updated is updated too.
TEST(DecisionMemory, RefusalsThatWriteNothingKeepThePreviousValue) {
    test::TestServer t;
    t.srv->cfg.autoprog_regime = 4;
    t.srv->image_loaded = true;
    t.srv->loop.enable_update_up1 = 1;
    t.net.arrive(test::wire(test::broadcast(0x1)));
    wait_for_broadcast(*t.srv);
    act_on_decision(*t.srv);
    EXPECT_EQ(t.srv->loop.enable_update_up1, 1);
    EXPECT_EQ(t.srv->loop.state, STATE_UPDATING);
}

TEST(DeviceReport, EveryFieldInItsForm) {
    test::TestServer t;
    std::strcpy(t.srv->cfg.s_BinContainer, "X.upk");
    from_dev_bcst_t bc = test::broadcast(0x00ABCDEF);
    bc.ver_hw = 0xFFFFFFFF;  // 32-bit fields show as signed numbers
    t.net.arrive(test::wire(bc));
    t.srv->cfg.on_dbg_pr = 1;
    wait_for_broadcast(*t.srv);
    EXPECT_EQ(t.con.text(),
              "Ожидание широковещательного сообщения от устройства: 0 \r"
              "\n" + kSep +
                  "[05/03/2026 09:08:07]\n"
                  "Принято широковещательное сообщение от обновляемого устройства (dev)\n"
                  "Версия структуры: 1 \n"
                  "Версия HW: -1 \n"
                  "Версия протокола: 2 \n"
                  "Учетный номер применяемого шифроключа: 17 \n"
                  "CRC32 бутлоадера: 0hB00710AD \n"
                  "MAC dev/serNum: 0:128:225:1:2:255\n"
                  "IP dev: 192.168.1.20 \n"
                  "Port dev: 5008 \n"
                  "CRC32 текущей пользовательской программы UP1: 0hABCDEF \n"
                  "Номер принятого пакета: 42 \n" +
                  kSep + "Анализ необходимости обновления:\n" +
                  "Имя bin файла для обновления: X.upk; CRC32 текущей программы UP1: ABCDEF \n" +
                  kOther + kForbidden + kSep);
    EXPECT_STREQ(t.srv->loop.dlg.dev_IP, "192.168.1.20");
}

TEST(Waiting, CounterAndNothingElseUntilABroadcast) {
    test::TestServer t;
    t.net.arrive(test::wire(test::reply(0, 1)));          // a reply is read and ignored
    t.net.arrive(test::wire(test::broadcast(), false));  // a damaged broadcast too
    for (int i = 0; i < 3; ++i) pass(*t.srv);
    EXPECT_EQ(t.con.text(),
              "Ожидание широковещательного сообщения от устройства: 0 \rD"
              "Ожидание широковещательного сообщения от устройства: 1 \r"
              "Ожидание широковещательного сообщения от устройства: 2 \r");
    EXPECT_EQ(t.srv->loop.state, STATE_WAIT_BROADCAST);
    EXPECT_EQ(t.clock.slept_ms(), 300u);
}

struct ActCase {
    const char* name;
    uint8_t enable;
    bool image_loaded;
    uint8_t jump;
    std::string lines;
    uint8_t state;
    uint8_t proc;
};

void PrintTo(const ActCase& c, std::ostream* os) { *os << c.name; }

const std::string kIgnore =
    "Игнорируем обнаруженное устройство.\nОжидаем что оно перейдет на UP по таймауту.\n" + kSep;
const std::string kJump = "Передаем обнаруженному устройству команду CMD_JUMP_TO_APP.\n";
const std::string kNoImage = "Образ ПО не загружен, обновление невозможно!\n";

// What the loop does with each action: its words, its state and the send socket. Which action
// the facts lead to is the core's table (update_core_test).
class Acting : public ::testing::TestWithParam<ActCase> {};

TEST_P(Acting, OpensTheSendSocketOrLetsTheDeviceBe) {
    const auto& c = GetParam();
    test::TestServer t;
    Server& srv = *t.srv;
    srv.loop.state = STATE_DECIDED;
    srv.loop.enable_update_up1 = c.enable;
    srv.image_loaded = c.image_loaded;
    srv.cfg.app_jump_regime = c.jump;
    std::strcpy(srv.loop.dlg.dev_IP, "192.168.1.20");
    act_on_decision(srv);
    EXPECT_EQ(t.con.text(), c.lines);
    EXPECT_EQ(srv.loop.state, c.state);
    const bool opened = c.state == STATE_UPDATING;
    if (opened) {
        EXPECT_EQ(srv.loop.dlg.dialogue.sequence().proc, c.proc);
    }
    EXPECT_EQ(t.net.next_handle, opened ? 4 : 3);
    EXPECT_EQ(srv.loop.dlg.IP_addr_tx, opened ? t.net.address_of("192.168.1.20") : 0u);
    EXPECT_EQ(t.clock.slept_ms(), 0u) << "the opening pause is the dialogue's own first wait";
    if (opened) {  // due first, slept by the steps that follow
        EXPECT_EQ(srv.loop.dlg.dialogue.sequence().pauses, 1u);
        EXPECT_EQ(srv.loop.dlg.dialogue.sequence().pause_ms, 100u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Acting,
    ::testing::Values(ActCase{"update", 1, true, 0, "", STATE_UPDATING, CMD_NOP},
                      ActCase{"ignore", 0, true, 0, kIgnore, STATE_WAIT_BROADCAST, 0},
                      ActCase{"jump_only", 0, true, 1, kJump, STATE_UPDATING, CMD_JUMP_TO_APP},
                      ActCase{"no_image_ignored", 1, false, 0, kNoImage + kIgnore,
                              STATE_WAIT_BROADCAST, 0},
                      ActCase{"no_image_jumps", 1, false, 1, kNoImage + kJump, STATE_UPDATING,
                              CMD_JUMP_TO_APP}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
}  // namespace qd
