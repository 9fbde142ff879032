// One device's dialogue among several: the command sequence as steps on deadlines, with the
// pauses, retries, flash check, stall time and jump limit of the one-at-a-time loop.
#include "server/dialogue.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "protocol/bytes.hpp"
#include "protocol/commands.hpp"
#include "protocol/constants.hpp"
#include "protocol/crc.hpp"
#include "server/exchange.hpp"
#include "server/live_view.hpp"
#include "server/server.hpp"

namespace qd {
namespace {

constexpr uint32_t kPassPauseMs = 100;
constexpr uint32_t kErasePauseMs = 1000;
constexpr uint32_t kOpenPauseMs = 100;
constexpr uint32_t kLastBlock = IMAGE_SIZE / WRITE_BLOCK_SIZE - 1;  // 479
constexpr uint8_t kMaxCrcMismatches = 3;
constexpr uint8_t kMaxJumpAttempts = 5;
// Steps taken in one run at most: with zero pauses a silent device would hold the engine.
constexpr int kMaxStepsPerRun = 64;

// The step after an accepted one, in the order of the update sequence.
uint8_t next_step(uint8_t code) {
    for (size_t i = 0; i + 1 < COMMAND_NAMES.size(); ++i) {
        if (COMMAND_NAMES[i].code == code) return COMMAND_NAMES[i + 1].code;
    }
    return CMD_NOP;
}

uint64_t now_ms(Server& srv) { return srv.clock.monotonic_ms(); }
bool verbose(const Server& srv) { return srv.cfg.on_dbg_pr == 1; }
bool tracing(const Server& srv) { return srv.cfg.on_dbg_pf == 1; }

// A line of the dialogue: the device's address, a blank, the text, as one write.
__attribute__((format(QD_PRINTF_FORMAT, 3, 4))) void say_dlg(Server& srv, const Dialogue& d,
                                                               const char* fmt, ...) {
    char text[400];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    say(srv.con, "%s %s\n", d.ip, text);
}

void say_end(Server& srv, const Dialogue& d, JournalResult outcome) {
    const auto ms = static_cast<unsigned long long>(now_ms(srv) - d.decided_ms);
    const auto repeats = static_cast<unsigned>(d.log.repeats);
    if (outcome == JournalResult::updated) {
        say_dlg(srv, d, "Обновление завершено, устройство переведено в приложение: %llu мс, повторов: %u",
                ms, repeats);
    } else if (outcome == JournalResult::jumped) {
        say_dlg(srv, d, "Устройство переведено в приложение: %llu мс, повторов: %u", ms, repeats);
    } else {
        say_dlg(srv, d, "Обмен прерван: %llu мс, повторов: %u", ms, repeats);
    }
}

void finish(Server& srv, Dialogue& d, JournalResult outcome) {
    journal_write(srv, d.journal, d.log, outcome);
    say_end(srv, d, outcome);
    live_view_ended(srv, d, outcome);
    d.used = false;
}

void wait_until(Server& srv, Dialogue& d, Phase phase, uint32_t pause_ms) {
    d.phase = phase;
    d.deadline = now_ms(srv) + pause_ms;
}

uint32_t wait_ms(const Server& srv, uint8_t code) {
    if (code == CMD_ERASE_UP_FLASH) return kErasePauseMs;
    if (code == CMD_WRITE_UP_FLASH) return srv.cfg.delay_write_block;
    return srv.cfg.delay_steps;
}

bool pop(Dialogue& d, QueuedDatagram& out) {
    if (d.queue_count == 0) return false;
    out = d.queue[d.queue_head];
    d.queue_head = (d.queue_head + 1) % DIALOGUE_QUEUE_SIZE;
    --d.queue_count;
    return true;
}

void trace_rx(Server& srv, const Dialogue& d, int len, int16_t kind) {
    if (!tracing(srv)) return;
    say_dlg(srv, d, "RX byte:%d; Frame:%d CMD:%d Result:%d Kind:%d", len,
            static_cast<int>(d.in.n_frame), static_cast<int>(d.in.get_cmd),
            static_cast<int>(d.in.get_result), static_cast<int>(kind));
}

// One datagram of the queue sorted into d.in: true for a valid reply.
bool take(Server& srv, Dialogue& d, const QueuedDatagram& q) {
    from_dev_bcst_t bc{};
    std::memset(&d.in, 0, sizeof d.in);
    const int16_t kind = sort_datagram(q.bytes, q.len, bc, d.in);
    trace_rx(srv, d, q.len, kind);
    return kind == NET_RX_DEV && take_if_new(d.log, d.in, d.proc, srv.cfg.reply_paced);
}

// The poll: the oldest datagram kept, if any.
bool poll(Server& srv, Dialogue& d) {
    QueuedDatagram q;
    return pop(d, q) && take(srv, d, q);
}

// Reply-paced: what is kept is read until a valid reply; the rest is dropped.
bool reply_in_queue(Server& srv, Dialogue& d) {
    QueuedDatagram q;
    while (pop(d, q)) {
        if (take(srv, d, q)) return true;
    }
    return false;
}

void report(Server& srv, const Dialogue& d) {
    if (!verbose(srv)) return;
    const char* name = command_name(d.proc);
    const from_dev_update_t& r = d.in;
    if (r.get_result == RES_OK) {
        say_dlg(srv, d, "%s{%d} Time:%d ms", name, static_cast<int>(r.get_cmd),
                static_cast<int>(r.time_proc));
        return;
    }
    const char* text = result_text(r.get_result);
    say_dlg(srv, d, "%s{%d} Time:%d ms Error code:%d  %s", name, static_cast<int>(r.get_cmd),
            static_cast<int>(r.time_proc), static_cast<int>(r.get_result),
            text != nullptr ? text : "");
}

void say_no_reply(Server& srv, const Dialogue& d) {
    if (verbose(srv)) say_dlg(srv, d, "Error Net_Handler %s", command_name(d.proc));
}

void send(Server& srv, Dialogue& d);
void evaluate(Server& srv, Dialogue& d, bool got);

// The payload and address of the step's command: the password, or the block.
void fill_payload(Server& srv, Dialogue& d) {
    if (d.proc == CMD_SET_PASS_BIN) int_to_byte(&srv.cfg.bin_pass, d.ext, 0);
    if (d.proc != CMD_WRITE_UP_FLASH) return;
    const uint32_t offset = d.block * WRITE_BLOCK_SIZE;
    std::memcpy(d.ext, srv.img_bf + offset, WRITE_BLOCK_SIZE);
    d.out.f_address = FLASH_BASE + offset;
}

// A reply was accepted: what waits is stale; its replies are noted, so that a later copy of one
// is known.
void drop_stale(Dialogue& d) {
    QueuedDatagram q;
    while (pop(d, q)) {
        from_dev_bcst_t bc{};
        from_dev_update_t r{};
        if (sort_datagram(q.bytes, q.len, bc, r) == NET_RX_DEV) note_reply(d.log, r);
    }
}

void send(Server& srv, Dialogue& d) {
    if (d.log.drop_stale) drop_stale(d);
    d.log.drop_stale = false;
    fill_payload(srv, d);
    seal_command(d.out, d.proc, d.ext, srv.x.counter_frames++);
    uint8_t wire[sizeof(from_serv_update_t)];
    to_wire(d.out, wire);
    const int sent = srv.net.send_to(srv.x.so_tx_s, wire, static_cast<int>(sizeof wire), d.addr,
                                     UPDATE_PORT);
    ++d.log.commands;
    if (d.proc == CMD_JUMP_TO_APP) ++d.log.jump_attempts;
    if (sent < 0) {
        say_dlg(srv, d, "ERR: sendto()failed: %d", sent);
    } else if (tracing(srv)) {
        say_dlg(srv, d, "TX byte: %d; CMD:%d; Frame:%u", sent, static_cast<int>(d.proc),
                static_cast<unsigned>(d.out.n_frame));
    }
    wait_until(srv, d, Phase::await, wait_ms(srv, d.proc));
    if (srv.cfg.reply_paced && reply_in_queue(srv, d)) evaluate(srv, d, true);
}

void say_config(Server& srv, const Dialogue& d) {
    if (!verbose(srv)) return;
    const uint8_t bits = d.in.ext_area[0];
    say_dlg(srv, d, "%s", (bits & 0x02) != 0 ? "Переход на UP1" : "Переход на UP2");
    say_dlg(srv, d, "%s", (bits & 0x01) != 0 ? "Программирование возможно"
                                             : "Программирование запрещено перемычкой");
}

// An accepted block: its progress, and the step that follows.
uint8_t block_written(Server& srv, Dialogue& d) {
    if (verbose(srv)) {
        say_dlg(srv, d, "NPW:%u; Adr: 0h%X;", static_cast<unsigned>(d.block),
                static_cast<unsigned>(FLASH_BASE + d.block * WRITE_BLOCK_SIZE));
    }
    ++d.block;
    const uint32_t tenths = d.block * 10 / (kLastBlock + 1);
    if (tenths > d.progress_shown) {
        d.progress_shown = tenths;
        if (!live_view_shows_progress(srv)) {
            say_dlg(srv, d, "Запись FLASH: %u %%", static_cast<unsigned>(tenths * 10));
        }
    }
    return d.block <= kLastBlock ? CMD_WRITE_UP_FLASH : CMD_GETCRC_FLASH;
}

// The flash CRC the device reports, against the image's; the step that follows, or none when
// the dialogue has ended.
bool flash_checked(Server& srv, Dialogue& d) {
    DialogueLog& log = d.log;
    log.crc_after = byte_to_int(d.in.ext_area, 0);
    log.crc_reported = true;
    const uint32_t image_crc = fullcalk_crc32(srv.img_bf, IMAGE_SIZE, CRC32_POLY);
    if (!srv.cfg.verify_flash || log.crc_after == image_crc) {
        say_dlg(srv, d, "FLASH UP1 CRC32: 0h%X%s", log.crc_after,
                srv.cfg.verify_flash ? ", совпадает с образом" : "");
        return true;
    }
    say_dlg(srv, d, "FLASH UP1 CRC32: 0h%X", log.crc_after);
    if (++log.crc_mismatches >= kMaxCrcMismatches) {
        say_dlg(srv, d, "Обновление не удалось, переход в приложение не выполняется");
        finish(srv, d, JournalResult::verify_failed);
        return false;
    }
    say_dlg(srv, d, "CRC32 FLASH UP1 не совпадает с образом (0h%X), повторяем запись", image_crc);
    d.block = 0;
    d.progress_shown = 0;
    d.back_to_erase = true;
    return true;
}

// The pause after an accepted reply: none reply-paced; the password's is double; none between
// blocks.
uint32_t pause_after_accepted(const Server& srv, uint8_t code, uint8_t next) {
    if (srv.cfg.reply_paced) return 0;
    if (code == CMD_SET_PASS_BIN) return 2u * srv.cfg.delay_steps;
    if (code == CMD_WRITE_UP_FLASH && next == CMD_WRITE_UP_FLASH) return 0;
    return srv.cfg.delay_steps;
}

void accepted(Server& srv, Dialogue& d) {
    const uint8_t code = d.proc;
    d.log.last_reply_ms = now_ms(srv);
    uint8_t next = next_step(code);
    if (code == CMD_GET_CONFIG) say_config(srv, d);
    if (code == CMD_WRITE_UP_FLASH) next = block_written(srv, d);
    if (code == CMD_JUMP_TO_APP) {
        finish(srv, d, d.log.updating ? JournalResult::updated : JournalResult::jumped);
        return;
    }
    if (code == CMD_GETCRC_FLASH) {
        if (!flash_checked(srv, d)) return;
        if (d.back_to_erase) next = CMD_ERASE_UP_FLASH;
    }
    d.log.drop_stale = true;
    d.proc = next;
    wait_until(srv, d, Phase::after, pause_after_accepted(srv, code, next));
}

void evaluate(Server& srv, Dialogue& d, bool got) {
    bool ok = false;
    if (d.proc == CMD_ERASE_UP_FLASH && !(got && d.in.get_result == RES_OK)) {
        got = false;  // the erase tests the result before it reports
    }
    if (got) {
        report(srv, d);
        ok = d.in.get_cmd == d.proc && d.in.get_result == RES_OK;
    } else {
        say_no_reply(srv, d);
    }
    d.step_ok = ok;
    if (ok) {
        accepted(srv, d);
        return;
    }
    ++d.log.repeats;
    wait_until(srv, d, Phase::after, d.proc == CMD_WRITE_UP_FLASH ? 0 : srv.cfg.delay_steps);
}

// After a failed attempt's pauses: the jump limit and the stall time, then the repetition.
void after_failure(Server& srv, Dialogue& d) {
    if (d.proc == CMD_JUMP_TO_APP && d.log.jump_attempts >= kMaxJumpAttempts) {
        say_dlg(srv, d, "Ответ на CMD_JUMP_TO_APP не получен");
        finish(srv, d, JournalResult::jump_unconfirmed);
        return;
    }
    const uint16_t limit = srv.cfg.stall_timeout;
    if (limit != 0 && now_ms(srv) - d.log.last_reply_ms >= uint64_t{limit} * 1000u) {
        say_dlg(srv, d, "Устройство не отвечает %d с, обмен прерван", static_cast<int>(limit));
        finish(srv, d, JournalResult::stalled);
        return;
    }
    if (d.proc == CMD_WRITE_UP_FLASH) {
        wait_until(srv, d, Phase::send, 0);  // a failed block is sent again at once
    } else {
        wait_until(srv, d, Phase::gap, kPassPauseMs);
    }
}

void after_pause(Server& srv, Dialogue& d) {
    if (!d.step_ok) {
        after_failure(srv, d);
    } else if (d.back_to_erase) {
        d.back_to_erase = false;
        wait_until(srv, d, Phase::gap, kPassPauseMs);
    } else {
        wait_until(srv, d, Phase::send, 0);
    }
}

void step(Server& srv, Dialogue& d) {
    switch (d.phase) {
        case Phase::opening:
        case Phase::gap:
            d.phase = Phase::send;
            break;
        case Phase::send:
            send(srv, d);
            break;
        case Phase::await:
            evaluate(srv, d, poll(srv, d));
            break;
        case Phase::after:
            after_pause(srv, d);
            break;
    }
}

}  // namespace

void dialogue_open(Server& srv, Dialogue& d, uint8_t first_proc) {
    d = Dialogue{};
    d.used = true;
    d.addr = srv.net.address_of(srv.x.dev_IP);
    std::snprintf(d.ip, sizeof d.ip, "%s", srv.x.dev_IP);
    std::memcpy(d.mac, srv.x.in_bc.my_mac, sizeof d.mac);
    d.proc = first_proc;
    d.decided_ms = now_ms(srv);
    d.log.opened_ms = d.decided_ms;
    d.log.last_reply_ms = d.decided_ms;
    d.log.updating = first_proc == CMD_NOP;
    d.journal = srv.journal.entry;
    say_dlg(srv, d, "%s", d.log.updating ? "Начато обновление ПО" : "Передаем команду CMD_JUMP_TO_APP");
    live_view_opened(srv, d);
    wait_until(srv, d, Phase::opening, kOpenPauseMs);
}

void dialogue_receive(Server& srv, Dialogue& d, const uint8_t* rx, int len) {
    if (d.queue_count == DIALOGUE_QUEUE_SIZE) {  // full: the oldest goes
        d.queue_head = (d.queue_head + 1) % DIALOGUE_QUEUE_SIZE;
        --d.queue_count;
    }
    QueuedDatagram& q = d.queue[(d.queue_head + d.queue_count) % DIALOGUE_QUEUE_SIZE];
    q.len = len;
    const size_t keep = static_cast<size_t>(len) < sizeof q.bytes ? static_cast<size_t>(len)
                                                                  : sizeof q.bytes;
    std::memcpy(q.bytes, rx, keep);
    ++d.queue_count;
    if (d.phase == Phase::await && srv.cfg.reply_paced && reply_in_queue(srv, d)) {
        evaluate(srv, d, true);
    }
}

void dialogue_run(Server& srv, Dialogue& d) {
    for (int n = 0; n < kMaxStepsPerRun && d.used && now_ms(srv) >= d.deadline; ++n) step(srv, d);
}

}  // namespace qd
