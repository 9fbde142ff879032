// The main loop's pass: waiting for an announcement, the report, the decision and the acting step.
#include "server/main_loop.hpp"

#include <cstdio>
#include <cstring>

#include "server/device_address.hpp"
#include "server/dialogue.hpp"
#include "server/exchange.hpp"
#include "server/journal.hpp"
#include "server/parallel.hpp"
#include "server/report.hpp"
#include "server/server.hpp"
#include "server/update_sequence.hpp"

namespace qd {
void report_device(Server& srv, const from_dev_bcst_t& bc) {
    Console& con = srv.con;
    say_separator_lf(con);
    p_time(con, srv.clock);
    say_line(con, "\nПринято широковещательное сообщение от обновляемого устройства (dev)");
    say(con, "Версия структуры: %d \n", static_cast<int>(bc.vers));
    say(con, "Версия HW: %d \n", static_cast<int>(bc.ver_hw));
    say(con, "Версия протокола: %d \n", static_cast<int>(bc.ver_bl));
    say(con, "Учетный номер применяемого шифроключа: %d \n", static_cast<int>(bc.num_key));
    say(con, "CRC32 бутлоадера: 0h%X \n", bc.crc_bl);
    say(con, "MAC dev/serNum: %u:%u:%u:%u:%u:%u\n", bc.my_mac[0], bc.my_mac[1], bc.my_mac[2],
        bc.my_mac[3], bc.my_mac[4], bc.my_mac[5]);
    say(con, "IP dev: %d.%d.%d.%d \n", bc.my_ip[0], bc.my_ip[1], bc.my_ip[2], bc.my_ip[3]);
    say(con, "Port dev: %d \n", static_cast<int>(bc.my_port));
    say(con, "CRC32 текущей пользовательской программы UP1: 0h%X \n", bc.crc_uflash);
    say(con, "Номер принятого пакета: %d \n", static_cast<int>(bc.n_frame));
    say_separator(con);
}

namespace {

void say_forced(Console& con) {
    say_line(con, "Автообновление ПО принудительно!");
    say_line(con, "Внимание! Выполняйте только однократно!");
}

void decide_same_firmware(Server& srv) {
    const uint8_t regime = srv.cfg.autoprog_regime;
    say_line(srv.con, "ПО в файле и существующее ПО совпадают!");
    if (regime <= 2) {
        say_line(srv.con, "Автообновление ПО запрещено!");
        srv.loop.enable_update_up1 = 0;
        srv.exchange.decision = JournalDecision::same_firmware;
    } else if (regime == 3) {
        say_forced(srv.con);
        srv.loop.enable_update_up1 = 1;
        srv.exchange.decision = JournalDecision::update;
    }
}

void check_allowlist(Server& srv) {
    say_line(srv.con, "Автообновление ПО по списку разрешено!");
    srv.loop.enable_update_up1 = 0;
    for (int n = 0; n < 4; ++n) {
        if (std::memcmp(srv.exchange.in_bc.my_mac, srv.cfg.entry_mac(n), 6) == 0) {
            say_line(srv.con, "Сер. номер найден в списке");
            srv.loop.enable_update_up1 = 1;
        }
    }
    if (srv.loop.enable_update_up1 == 0) say_line(srv.con, "Сер. номер НЕ найден в списке!");
    srv.exchange.decision = srv.loop.enable_update_up1 == 1 ? JournalDecision::update
                                                           : JournalDecision::not_listed;
}

void decide_other_firmware(Server& srv) {
    say_line(srv.con, "ПО в файле и существующее ПО НЕ совпадают!");
    switch (srv.cfg.autoprog_regime) {
        case 0:
            say_line(srv.con, "Автообновление ПО запрещено!");
            srv.loop.enable_update_up1 = 0;
            break;
        case 1:
            check_allowlist(srv);
            break;
        case 2:
            say_line(srv.con, "Автообновление ПО для любого сер. номера разрешено!");
            srv.loop.enable_update_up1 = 1;
            srv.exchange.decision = JournalDecision::update;
            break;
        case 3:
            say_forced(srv.con);
            srv.loop.enable_update_up1 = 1;
            srv.exchange.decision = JournalDecision::update;
            break;
        default:
            break;
    }
}

void ignore_device(Server& srv) {
    journal_write(srv, srv.journal.entry, srv.loop.seq.log, JournalResult::ignored);
    say_line(srv.con, "Игнорируем обнаруженное устройство.");
    say_line(srv.con, "Ожидаем что оно перейдет на UP по таймауту.");
    say_separator(srv.con);
}

// The device runs the container's firmware: the name its announced program CRC gives ("%X.upk")
// is BinContainer.
bool same_firmware(const Server& srv) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "%X.upk", srv.exchange.in_bc.crc_uflash);
    return std::strcmp(expected, srv.cfg.s_BinContainer) == 0;
}

}  // namespace

void decide_update(Server& srv) {
    say(srv.con, "Имя bin файла для обновления: %s; ", srv.cfg.s_BinContainer);
    say(srv.con, "CRC32 текущей программы UP1: %X \n", srv.exchange.in_bc.crc_uflash);
    if (same_firmware(srv)) {
        decide_same_firmware(srv);
    } else {
        decide_other_firmware(srv);
    }
}

void wait_for_broadcast(Server& srv) {
    say(srv.con, "Ожидание широковещательного сообщения от устройства: %d \r",
        static_cast<int>(srv.loop.cycle_counter));
    ++srv.loop.cycle_counter;
    if (Net_Handler(srv, srv.exchange.in_bc, srv.loop.in_dev) != NET_RX_BCST) return;
    report_and_decide(srv);
    srv.loop.state = STATE_DECIDED;
}

void report_and_decide(Server& srv) {
    const from_dev_bcst_t& bc = srv.exchange.in_bc;
    report_device(srv, bc);
    std::snprintf(srv.exchange.dev_IP, sizeof srv.exchange.dev_IP, "%d.%d.%d.%d", bc.my_ip[0], bc.my_ip[1],
                  bc.my_ip[2], bc.my_ip[3]);
    say_line(srv.con, "Анализ необходимости обновления:");
    srv.exchange.decision = JournalDecision::refused;  // unless the analysis says otherwise
    if (srv.cfg.type_file_for_update == 0) decide_update(srv);
    say_separator(srv.con);
}

DeviceAction choose_action(Server& srv) {
    const bool usable = device_address_usable(srv, srv.exchange.dev_IP);
    if (srv.journal.active) journal_decided(srv, journal_decision_of(srv, usable));
    if (!usable) {
        // Commands there would reach the server itself, every device, or nothing; a jump
        // would reach every device.
        say(srv.con, "IP адрес устройства %s недопустим, обмен с ним невозможен!\n", srv.exchange.dev_IP);
        ignore_device(srv);
        return DeviceAction::ignore;
    }
    bool update = srv.loop.enable_update_up1 == 1;
    if (update && !srv.image_loaded) {
        // Flashing without an image would erase the device's program and write zeros.
        say_line(srv.con, "Образ ПО не загружен, обновление невозможно!");
        update = false;
    }
    if (update) return DeviceAction::update;
    if (srv.cfg.app_jump_regime == 1) {
        say_line(srv.con, "Передаем обнаруженному устройству команду CMD_JUMP_TO_APP.");
        return DeviceAction::jump;
    }
    ignore_device(srv);  // AutoJumpApp 0, and every value but 1
    return DeviceAction::ignore;
}

void act_on_decision(Server& srv) {
    switch (choose_action(srv)) {
        case DeviceAction::update:
            start_dialogue(srv, CMD_NOP);
            break;
        case DeviceAction::jump:
            start_dialogue(srv, CMD_JUMP_TO_APP);
            break;
        case DeviceAction::ignore:
            srv.loop.state = STATE_WAIT_BROADCAST;
            break;
    }
}

namespace {

// The port another program held at start-up is free now: devices are heard from here on.
void take_freed_port(Server& srv, bool waiting_counter) {
    if (!retry_soc_rx(srv)) return;
    say(srv.con, "%sПорт 5008 свободен, сообщения устройств принимаются\n",
        waiting_counter ? "\n" : "");  // the waiting counter's line is left open
}

}  // namespace

void journal_interrupted(Server& srv) {
    srv.con.flush_held();  // what the steps printed before the wait
    if (srv.loop.journal_due) {
        srv.loop.journal_due = false;
        journal_write(srv, srv.journal.entry, srv.loop.seq.log, JournalResult::interrupted);
    }
    for (Dialogue& d : srv.par.slots) {
        if (d.used) journal_write(srv, d.journal, d.seq.log, JournalResult::interrupted);
    }
}

void pass(Server& srv) {
    const bool parallel = parallel_engine_on(srv.cfg);
    take_freed_port(srv, !parallel);
    if (parallel) {
        parallel_pass(srv);
        return;
    }
    if (srv.loop.state == STATE_WAIT_BROADCAST) wait_for_broadcast(srv);
    if (srv.loop.state == STATE_DECIDED) act_on_decision(srv);
    if (srv.loop.state == STATE_UPDATING) run_update_steps(srv);
    if (srv.loop.state == STATE_FINISHING) finish_dialogue(srv);
    srv.clock.sleep_ms(PASS_PAUSE_MS);
}

}  // namespace qd
