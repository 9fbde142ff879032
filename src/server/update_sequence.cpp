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
constexpr uint32_t kLastBlock = IMAGE_SIZE / WRITE_BLOCK_SIZE - 1;  // 479

// Reply-paced: waits at most pause_ms for a valid reply. What arrives meanwhile and is not one
// (another device's broadcast, junk, a damaged frame) is read, shown and dropped.
bool await_reply(Server& srv, uint32_t pause_ms) {
    const uint64_t deadline = srv.clock.monotonic_ms() + pause_ms;
    for (;;) {
        const uint64_t now = srv.clock.monotonic_ms();
        if (now >= deadline) return false;
        if (!srv.net.wait_readable(srv.x.so_rx_s, static_cast<uint32_t>(deadline - now))) {
            return false;
        }
        if (Net_Handler(srv, srv.x.in_bc, srv.x.in_dev) == NET_RX_DEV) return true;
    }
}

// Sends the command with the current payload, pauses, and polls once: true for a valid reply.
bool send_and_poll(Server& srv, uint8_t code, uint32_t pause_ms) {
    prep_cmd(srv, srv.x.out_serv, code, srv.x.cmd_ext_ar);
    tx_struct(srv);
    if (srv.cfg.reply_paced) {
        if (await_reply(srv, pause_ms)) return true;
    } else {
        srv.clock.sleep_ms(pause_ms);
    }
    return Net_Handler(srv, srv.x.in_bc, srv.x.in_dev) == NET_RX_DEV;
}

// The pause after a step's poll; reply-paced, it is left out once the step is accepted.
void pause_after_poll(Server& srv, bool step_accepted) {
    if (!(srv.cfg.reply_paced && step_accepted)) srv.clock.sleep_ms(srv.cfg.delay_steps);
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

// What a step prints or sets when its reply is accepted, besides moving `proc` on.
using StepOutput = void (*)(Server&);

// A step of the common pattern: on acceptance its own output and `proc` = next; the last pause
// comes either way.
void common_step(Server& srv, uint8_t code, const char* name, uint8_t next,
                 StepOutput own = nullptr) {
    const bool ok = exchange_step(srv, code, name);
    if (ok) {
        if (own != nullptr) own(srv);
        srv.loop.proc = next;
    }
    pause_after_poll(srv, ok);
}

void say_config(Server& srv) {
    const uint8_t bits = srv.x.in_dev.ext_area[0];
    say_line(srv.con, (bits & 0x02) != 0 ? "Переход на UP1" : "Переход на UP2");
    say_line(srv.con, (bits & 0x01) != 0 ? "Программирование возможно"
                                         : "Программирование запрещено перемычкой");
}

void say_flash_crc(Server& srv) {
    say(srv.con, "FLASH UP1 CRC32: 0h%X \n", byte_to_int(srv.x.in_dev.ext_area, 0));
}

void end_dialogue(Server& srv) { srv.loop.state = STATE_FINISHING; }

// The erase step tests the result before it reports, and waits a fixed second for the device.
void erase_step(Server& srv) {
    const from_dev_update_t& r = srv.x.in_dev;
    bool ok = false;
    if (send_and_poll(srv, CMD_ERASE_UP_FLASH, kErasePauseMs) && r.get_result == RES_OK) {
        unif_dbg_out(srv, r, "CMD_ERASE_UP_FLASH");
        ok = r.get_cmd == CMD_ERASE_UP_FLASH;
        if (ok) srv.loop.proc = CMD_SET_PASS_BIN;
    } else {
        say_no_reply(srv, "CMD_ERASE_UP_FLASH");
    }
    pause_after_poll(srv, ok);
}

void password_step(Server& srv) {
    int_to_byte(&srv.cfg.bin_pass, srv.x.cmd_ext_ar, 0);
    const bool ok = exchange_step(srv, CMD_SET_PASS_BIN, "CMD_SET_PASS_BIN");
    if (ok) {
        srv.loop.proc = CMD_WRITE_UP_FLASH;
        pause_after_poll(srv, ok);  // the device takes its time over the password
    }
    pause_after_poll(srv, ok);
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
        // " NPW:%d;" and " Adr: 0h%0X; \n" as one message.
        say(srv.con, " NPW:%d; Adr: 0h%0X; \n", static_cast<int>(idx_p), prog_address);
        ++idx_p;
        prog_address += WRITE_BLOCK_SIZE;
        offset_address += WRITE_BLOCK_SIZE;
    }
    srv.loop.proc = CMD_GETCRC_FLASH;
    pause_after_poll(srv, true);
}

}  // namespace

void run_update_steps(Server& srv) {
    LoopState& loop = srv.loop;
    if (loop.proc == CMD_NOP) common_step(srv, CMD_NOP, "CMD_NOP", CMD_ACTIVATE_BL);
    if (loop.proc == CMD_ACTIVATE_BL) {
        common_step(srv, CMD_ACTIVATE_BL, "CMD_ACTIVATE_BL", CMD_GET_CONFIG);
    }
    if (loop.proc == CMD_GET_CONFIG) {
        common_step(srv, CMD_GET_CONFIG, "CMD_GET_CONFIG", CMD_UNBLOCK_FLASH, say_config);
    }
    if (loop.proc == CMD_UNBLOCK_FLASH) {
        common_step(srv, CMD_UNBLOCK_FLASH, "CMD_UNBLOCK_FLASH", CMD_ERASE_UP_FLASH);
    }
    if (loop.proc == CMD_ERASE_UP_FLASH) erase_step(srv);
    if (loop.proc == CMD_SET_PASS_BIN) password_step(srv);
    if (loop.proc == CMD_WRITE_UP_FLASH) write_step(srv);
    if (loop.proc == CMD_GETCRC_FLASH) {
        common_step(srv, CMD_GETCRC_FLASH, "CMD_GETCRC_FLASH", CMD_JUMP_TO_APP, say_flash_crc);
    }
    if (loop.proc == CMD_JUMP_TO_APP) {
        common_step(srv, CMD_JUMP_TO_APP, "CMD_JUMP_TO_APP", CMD_NOP, end_dialogue);
    }
}

void finish_dialogue(Server& srv) {
    close_socets_tx(srv);
    srv.clock.sleep_ms(SOCKET_PAUSE_MS);
    say_separator(srv.con);
    say_line(srv.con, "Ожидаем широковещательное сообщение от следующего устройства.");
    say_separator(srv.con);
    srv.loop.state = STATE_WAIT_BROADCAST;
}

}  // namespace qd
