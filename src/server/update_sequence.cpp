#include "server/update_sequence.hpp"

#include <cstring>

#include "protocol/crc.hpp"
#include "server/exchange.hpp"
#include "server/main_loop.hpp"
#include "server/report.hpp"
#include "server/server.hpp"

namespace qd {
namespace {

constexpr uint32_t kErasePauseMs = 1000;
constexpr uint32_t kSocketPauseMs = 100;
constexpr uint32_t kLastBlock = IMAGE_SIZE / WRITE_BLOCK_SIZE - 1;  // 479

// Sends the command with the current payload, pauses, and polls once: true for a valid reply.
bool send_and_poll(Server& srv, uint8_t code, uint32_t pause_ms) {
    prep_cmd(srv, srv.x.out_serv, code, srv.x.cmd_ext_ar);
    tx_struct(srv);
    srv.clock.sleep_ms(pause_ms);
    return Net_Handler(srv, srv.x.in_bc, srv.x.in_dev) == NET_RX_DEV;
}

void say_no_reply(Server& srv, const char* name) { say(srv.con, "Error Net_Handler %s\n", name); }

bool accepted(const from_dev_update_t& r, uint8_t code) {
    return r.get_cmd == code && r.get_result == RES_OK;
}

// The common step: command, pause, one poll, the report; true when the reply accepts it.
bool exchange_step(Server& srv, uint8_t code, const char* name) {
    if (!send_and_poll(srv, code, srv.cfg.delay_steps)) {
        say_no_reply(srv, name);
        return false;
    }
    unif_dbg_out(srv, srv.x.in_dev, name);
    return accepted(srv.x.in_dev, code);
}

// A plain step: on acceptance `proc` moves on to `next`; the last pause comes either way.
void plain_step(Server& srv, uint8_t code, const char* name, uint8_t next) {
    if (exchange_step(srv, code, name)) srv.loop.proc = next;
    srv.clock.sleep_ms(srv.cfg.delay_steps);
}

void say_config(Server& srv) {
    const uint8_t bits = srv.x.in_dev.ext_area[0];
    say_line(srv.con, (bits & 0x02) != 0 ? "Переход на UP1" : "Переход на UP2");
    say_line(srv.con, (bits & 0x01) != 0 ? "Программирование возможно"
                                         : "Программирование запрещено перемычкой");
}

void get_config_step(Server& srv) {
    if (exchange_step(srv, CMD_GET_CONFIG, "CMD_GET_CONFIG")) {
        say_config(srv);
        srv.loop.proc = CMD_UNBLOCK_FLASH;
    }
    srv.clock.sleep_ms(srv.cfg.delay_steps);
}

// The erase step tests the result before it reports, and waits a fixed second for the device.
void erase_step(Server& srv) {
    const from_dev_update_t& r = srv.x.in_dev;
    if (send_and_poll(srv, CMD_ERASE_UP_FLASH, kErasePauseMs) && r.get_result == RES_OK) {
        unif_dbg_out(srv, r, "CMD_ERASE_UP_FLASH");
        if (r.get_cmd == CMD_ERASE_UP_FLASH) srv.loop.proc = CMD_SET_PASS_BIN;
    } else {
        say_no_reply(srv, "CMD_ERASE_UP_FLASH");
    }
    srv.clock.sleep_ms(srv.cfg.delay_steps);
}

void password_step(Server& srv) {
    int_to_byte(&srv.cfg.bin_pass, srv.x.cmd_ext_ar, 0);
    if (exchange_step(srv, CMD_SET_PASS_BIN, "CMD_SET_PASS_BIN")) {
        srv.loop.proc = CMD_WRITE_UP_FLASH;
        srv.clock.sleep_ms(srv.cfg.delay_steps);
    }
    srv.clock.sleep_ms(srv.cfg.delay_steps);
}

// One attempt at one block: true when the device accepted it.
bool write_block(Server& srv, uint32_t offset_address, uint32_t prog_address) {
    Exchange& x = srv.x;
    std::memcpy(x.cmd_ext_ar, srv.img_bf + offset_address, WRITE_BLOCK_SIZE);
    x.out_serv.f_address = prog_address;
    if (!send_and_poll(srv, CMD_WRITE_UP_FLASH, srv.cfg.delay_write_block)) {
        say_no_reply(srv, "CMD_WRITE_UP_FLASH");
        return false;
    }
    unif_dbg_out(srv, x.in_dev, "CMD_WRITE_UP_FLASH");
    return accepted(x.in_dev, CMD_WRITE_UP_FLASH);
}

// Writes the whole image, block after block; a block that is not accepted is sent again at once.
void write_step(Server& srv) {
    uint32_t prog_address = FLASH_BASE;
    uint32_t offset_address = 0;
    uint32_t idx_p = 0;
    while (idx_p <= kLastBlock) {
        if (!write_block(srv, offset_address, prog_address)) continue;
        say(srv.con, " NPW:%d;", static_cast<int>(idx_p));
        say(srv.con, " Adr: 0h%0X; \n", prog_address);
        ++idx_p;
        prog_address += WRITE_BLOCK_SIZE;
        offset_address += WRITE_BLOCK_SIZE;
    }
    srv.loop.proc = CMD_GETCRC_FLASH;
    srv.clock.sleep_ms(srv.cfg.delay_steps);
}

void flash_crc_step(Server& srv) {
    if (exchange_step(srv, CMD_GETCRC_FLASH, "CMD_GETCRC_FLASH")) {
        say(srv.con, "FLASH UP1 CRC32: 0h%X \n", byte_to_int(srv.x.in_dev.ext_area, 0));
        srv.loop.proc = CMD_JUMP_TO_APP;
    }
    srv.clock.sleep_ms(srv.cfg.delay_steps);
}

void jump_step(Server& srv) {
    if (exchange_step(srv, CMD_JUMP_TO_APP, "CMD_JUMP_TO_APP")) {
        srv.loop.proc = CMD_NOP;
        srv.loop.state = STATE_FINISHING;
    }
    srv.clock.sleep_ms(srv.cfg.delay_steps);
}

}  // namespace

void run_update_steps(Server& srv) {
    LoopState& loop = srv.loop;
    if (loop.proc == CMD_NOP) plain_step(srv, CMD_NOP, "CMD_NOP", CMD_ACTIVATE_BL);
    if (loop.proc == CMD_ACTIVATE_BL) plain_step(srv, CMD_ACTIVATE_BL, "CMD_ACTIVATE_BL", CMD_GET_CONFIG);
    if (loop.proc == CMD_GET_CONFIG) get_config_step(srv);
    if (loop.proc == CMD_UNBLOCK_FLASH) {
        plain_step(srv, CMD_UNBLOCK_FLASH, "CMD_UNBLOCK_FLASH", CMD_ERASE_UP_FLASH);
    }
    if (loop.proc == CMD_ERASE_UP_FLASH) erase_step(srv);
    if (loop.proc == CMD_SET_PASS_BIN) password_step(srv);
    if (loop.proc == CMD_WRITE_UP_FLASH) write_step(srv);
    if (loop.proc == CMD_GETCRC_FLASH) flash_crc_step(srv);
    if (loop.proc == CMD_JUMP_TO_APP) jump_step(srv);
}

void finish_dialogue(Server& srv) {
    close_socets_tx(srv);
    srv.clock.sleep_ms(kSocketPauseMs);
    say_separator(srv.con);
    say_line(srv.con, "Ожидаем широковещательное сообщение от следующего устройства.");
    say_separator(srv.con);
    srv.loop.state = STATE_WAIT_BROADCAST;
}

}  // namespace qd
