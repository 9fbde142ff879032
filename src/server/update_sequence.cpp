// The command sequence that rewrites a device's program, one device at a time.
#include "server/update_sequence.hpp"

#include <cstring>

#include "protocol/bytes.hpp"
#include "protocol/commands.hpp"
#include "protocol/crc.hpp"
#include "server/exchange.hpp"
#include "server/journal.hpp"
#include "server/main_loop.hpp"
#include "server/report.hpp"
#include "server/server.hpp"

namespace qd {
namespace {

constexpr uint32_t kErasePauseMs = 1000;
constexpr uint32_t kLastBlock = IMAGE_SIZE / WRITE_BLOCK_SIZE - 1;  // 479

constexpr uint8_t kMaxCrcMismatches = 3;
constexpr uint8_t kMaxJumpAttempts = 5;
// At most this many stale datagrams are dropped before one command, so that a sender that
// never stops cannot hold the dialogue.
constexpr int kMaxStaleDrop = 1024;

// Reads one datagram: true for a valid reply that is not a copy of the last one taken.
bool fresh_reply(Server& srv, uint8_t code) {
    return Net_Handler(srv, srv.x.in_bc, srv.x.in_dev) == NET_RX_DEV &&
           take_if_new(srv.loop.dlg, srv.x.in_dev, code, srv.cfg.reply_paced);
}

// Reply-paced: waits at most pause_ms for a valid reply. What arrives meanwhile and is not one
// (another device's broadcast, junk, a damaged frame) is read, shown and dropped.
bool await_reply(Server& srv, uint8_t code, uint32_t pause_ms) {
    const uint64_t deadline = srv.clock.monotonic_ms() + pause_ms;
    for (;;) {
        const uint64_t now = srv.clock.monotonic_ms();
        if (now >= deadline) return false;
        if (!srv.net.wait_readable(srv.x.so_rx_s, static_cast<uint32_t>(deadline - now))) {
            return false;
        }
        if (fresh_reply(srv, code)) return true;
    }
}

// After an accepted reply nothing is outstanding: what waits already is a duplicate, a late
// copy or other traffic, and would be taken for the reply to the next command.
void drop_stale(Server& srv) {
    srv.loop.dlg.drop_stale = false;
    for (int n = 0; n < kMaxStaleDrop && srv.net.wait_readable(srv.x.so_rx_s, 0); ++n) {
        if (Net_Handler(srv, srv.x.in_bc, srv.x.in_dev) == NET_RX_DEV) {
            note_reply(srv.loop.dlg, srv.x.in_dev);
        }
    }
}

// Sends the command with the current payload, pauses, and polls once: true for a valid reply.
// A send that fails is an attempt without a reply: the pause and the poll follow all the same.
bool send_and_poll(Server& srv, uint8_t code, uint32_t pause_ms) {
    if (srv.loop.dlg.drop_stale) drop_stale(srv);
    prep_cmd(srv, srv.x.out_serv, code, srv.x.cmd_ext_ar);
    tx_struct(srv);
    ++srv.loop.dlg.commands;
    if (srv.cfg.reply_paced) {
        if (await_reply(srv, code, pause_ms)) return true;
    } else {
        srv.clock.sleep_ms(pause_ms);
    }
    return fresh_reply(srv, code);
}

// The pause after a step's poll; reply-paced, it is left out once the step is accepted.
void pause_after_poll(Server& srv, bool step_accepted) {
    if (!(srv.cfg.reply_paced && step_accepted)) srv.clock.sleep_ms(srv.cfg.delay_steps);
}

void say_no_reply(Server& srv, uint8_t code) {
    say(srv.con, "Error Net_Handler %s\n", command_name(code));
}

bool accepted(const from_dev_update_t& r, uint8_t code) {
    return r.get_cmd == code && r.get_result == RES_OK;
}

void end_dialogue(Server& srv, JournalResult outcome) {
    srv.loop.dlg.outcome = outcome;
    srv.loop.state = STATE_FINISHING;
}

// An attempt's reply was accepted: the stall time starts again.
void note_accepted(Server& srv) {
    DialogueLog& d = srv.loop.dlg;
    d.last_reply_ms = srv.clock.monotonic_ms();
    d.drop_stale = true;
}

// After a failed attempt, once its pauses are over: true when the dialogue is given up because
// the device has not answered for the configured time.
bool given_up_after_failure(Server& srv) {
    DialogueLog& d = srv.loop.dlg;
    ++d.repeats;
    const uint16_t limit = srv.cfg.stall_timeout;
    if (limit == 0) return false;
    if (srv.clock.monotonic_ms() - d.last_reply_ms < uint64_t{limit} * 1000u) return false;
    say(srv.con, "Устройство не отвечает %d с, обмен прерван\n", static_cast<int>(limit));
    end_dialogue(srv, JournalResult::stalled);
    return true;
}

// The common step: command, pause, one poll, the report; true when the reply accepts it.
bool exchange_step(Server& srv, uint8_t code) {
    if (!send_and_poll(srv, code, srv.cfg.delay_steps)) {
        say_no_reply(srv, code);
        return false;
    }
    unif_dbg_out(srv, srv.x.in_dev, command_name(code));
    return accepted(srv.x.in_dev, code);
}

// Where an accepted step leads: its own output, and the next step's code.
using StepOutput = uint8_t (*)(Server&, uint8_t next);

// A step of the common pattern: on acceptance its own output and `proc` = next; the last pause
// comes either way, and after a failed attempt the stall check.
void common_step(Server& srv, uint8_t code, uint8_t next,
                 StepOutput own = nullptr) {
    const bool ok = exchange_step(srv, code);
    if (ok) {
        note_accepted(srv);
        srv.loop.proc = own != nullptr ? own(srv, next) : next;
    }
    pause_after_poll(srv, ok);
    if (!ok) given_up_after_failure(srv);
}

uint8_t say_config(Server& srv, uint8_t next) {
    const uint8_t bits = srv.x.in_dev.ext_area[0];
    say_line(srv.con, (bits & 0x02) != 0 ? "Переход на UP1" : "Переход на UP2");
    say_line(srv.con, (bits & 0x01) != 0 ? "Программирование возможно"
                                         : "Программирование запрещено перемычкой");
    return next;
}

// The flash CRC the device reports, checked against the image's: a flash that differs is
// written again, and after the third difference the device is not sent to its application.
uint8_t check_flash_crc(Server& srv, uint8_t next) {
    DialogueLog& d = srv.loop.dlg;
    d.crc_after = byte_to_int(srv.x.in_dev.ext_area, 0);
    d.crc_reported = true;
    say(srv.con, "FLASH UP1 CRC32: 0h%X \n", d.crc_after);
    const uint32_t image_crc = fullcalk_crc32(srv.img_bf, IMAGE_SIZE, CRC32_POLY);
    if (!srv.cfg.verify_flash || d.crc_after == image_crc) return next;
    if (++d.crc_mismatches >= kMaxCrcMismatches) {
        say_line(srv.con, "Обновление не удалось, переход в приложение не выполняется");
        end_dialogue(srv, JournalResult::verify_failed);
        return CMD_GETCRC_FLASH;
    }
    say(srv.con, "CRC32 FLASH UP1 не совпадает с образом (0h%X), повторяем запись\n", image_crc);
    return CMD_ERASE_UP_FLASH;
}

// The jump is sent at most kMaxJumpAttempts times: a device that has jumped answers no more,
// and endless repeats would reach the next board that takes its address.
void jump_step(Server& srv) {
    ++srv.loop.dlg.jump_attempts;
    const bool ok = exchange_step(srv, CMD_JUMP_TO_APP);
    if (ok) {
        srv.loop.proc = CMD_NOP;
        end_dialogue(srv, srv.loop.dlg.updating ? JournalResult::updated : JournalResult::jumped);
    }
    pause_after_poll(srv, ok);
    if (ok) return;
    if (srv.loop.dlg.jump_attempts >= kMaxJumpAttempts) {
        ++srv.loop.dlg.repeats;
        say_line(srv.con, "Ответ на CMD_JUMP_TO_APP не получен");
        end_dialogue(srv, JournalResult::jump_unconfirmed);
        return;
    }
    given_up_after_failure(srv);
}

// The erase step tests the result before it reports, and waits a fixed second for the device.
void erase_step(Server& srv) {
    const from_dev_update_t& r = srv.x.in_dev;
    bool ok = false;
    if (send_and_poll(srv, CMD_ERASE_UP_FLASH, kErasePauseMs) && r.get_result == RES_OK) {
        unif_dbg_out(srv, r, command_name(CMD_ERASE_UP_FLASH));
        ok = r.get_cmd == CMD_ERASE_UP_FLASH;
        if (ok) {
            note_accepted(srv);
            srv.loop.proc = CMD_SET_PASS_BIN;
        }
    } else {
        say_no_reply(srv, CMD_ERASE_UP_FLASH);
    }
    pause_after_poll(srv, ok);
    if (!ok) given_up_after_failure(srv);
}

void password_step(Server& srv) {
    int_to_byte(&srv.cfg.bin_pass, srv.x.cmd_ext_ar, 0);
    const bool ok = exchange_step(srv, CMD_SET_PASS_BIN);
    if (ok) {
        note_accepted(srv);
        srv.loop.proc = CMD_WRITE_UP_FLASH;
        pause_after_poll(srv, ok);  // the device takes its time over the password
    }
    pause_after_poll(srv, ok);
    if (!ok) given_up_after_failure(srv);
}

// One attempt at one block: true when the device accepted it.
bool write_block(Server& srv, uint32_t offset_address, uint32_t prog_address) {
    Exchange& x = srv.x;
    std::memcpy(x.cmd_ext_ar, srv.img_bf + offset_address, WRITE_BLOCK_SIZE);
    x.out_serv.f_address = prog_address;
    if (!send_and_poll(srv, CMD_WRITE_UP_FLASH, srv.cfg.delay_write_block)) {
        say_no_reply(srv, CMD_WRITE_UP_FLASH);
        return false;
    }
    unif_dbg_out(srv, x.in_dev, command_name(CMD_WRITE_UP_FLASH));
    return accepted(x.in_dev, CMD_WRITE_UP_FLASH);
}

// Writes the whole image, block after block; a block that is not accepted is sent again at once,
// until the device has not answered for the stall time.
void write_step(Server& srv) {
    uint32_t prog_address = FLASH_BASE;
    uint32_t offset_address = 0;
    uint32_t idx_p = 0;
    while (idx_p <= kLastBlock) {
        if (!write_block(srv, offset_address, prog_address)) {
            if (given_up_after_failure(srv)) return;
            continue;
        }
        note_accepted(srv);
        // " NPW:%d;" and " Adr: 0h%0X; \n" as one message.
        say(srv.con, " NPW:%d; Adr: 0h%0X; \n", static_cast<int>(idx_p), prog_address);
        ++idx_p;
        prog_address += WRITE_BLOCK_SIZE;
        offset_address += WRITE_BLOCK_SIZE;
    }
    srv.loop.proc = CMD_GETCRC_FLASH;
    pause_after_poll(srv, true);
}

// The step with this code is next, and the dialogue still runs.
bool at(const Server& srv, uint8_t code) {
    return srv.loop.state == STATE_UPDATING && srv.loop.proc == code;
}

}  // namespace

void run_update_steps(Server& srv) {
    if (at(srv, CMD_NOP)) common_step(srv, CMD_NOP, CMD_ACTIVATE_BL);
    if (at(srv, CMD_ACTIVATE_BL)) {
        common_step(srv, CMD_ACTIVATE_BL, CMD_GET_CONFIG);
    }
    if (at(srv, CMD_GET_CONFIG)) {
        common_step(srv, CMD_GET_CONFIG, CMD_UNBLOCK_FLASH, say_config);
    }
    if (at(srv, CMD_UNBLOCK_FLASH)) {
        common_step(srv, CMD_UNBLOCK_FLASH, CMD_ERASE_UP_FLASH);
    }
    if (at(srv, CMD_ERASE_UP_FLASH)) erase_step(srv);
    if (at(srv, CMD_SET_PASS_BIN)) password_step(srv);
    if (at(srv, CMD_WRITE_UP_FLASH)) write_step(srv);
    if (at(srv, CMD_GETCRC_FLASH)) {
        common_step(srv, CMD_GETCRC_FLASH, CMD_JUMP_TO_APP, check_flash_crc);
    }
    if (at(srv, CMD_JUMP_TO_APP)) jump_step(srv);
}

void finish_dialogue(Server& srv) {
    journal_ended(srv, srv.loop.dlg.outcome);
    close_socets_tx(srv);
    srv.clock.sleep_ms(SOCKET_PAUSE_MS);
    say_separator(srv.con);
    say_line(srv.con, "Ожидаем широковещательное сообщение от следующего устройства.");
    say_separator(srv.con);
    srv.loop.state = STATE_WAIT_BROADCAST;
}

}  // namespace qd
