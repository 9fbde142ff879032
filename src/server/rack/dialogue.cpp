// The driver of the update sequence (sequence.cpp) for a dialogue among several: its actions on
// deadlines, its replies from its own queue, its lines compact and led by the device's address.
#include "server/rack/dialogue.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "protocol/commands.hpp"
#include "protocol/constants.hpp"
#include "server/net/exchange.hpp"
#include "server/console/live_view.hpp"
#include "server/console/report.hpp"
#include "server/config/rules_config.hpp"
#include "server/server.hpp"

namespace qd {
namespace {

// Actions taken in one run at most: with zero pauses a silent device would hold the engine.
constexpr int kMaxActionsPerRun = 64;

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

class CompactOutput final : public SequenceOutput {
public:
    CompactOutput(Server& srv, Dialogue& d) : srv_(srv), d_(d) {}

    void reply(const from_dev_update_t& r, uint8_t code) override {
        if (!verbose(srv_)) return;
        const char* name = command_name(code);
        if (r.get_result == RES_OK) {
            say_dlg(srv_, d_, "%s{%d} Time:%d ms", name, static_cast<int>(r.get_cmd),
                    static_cast<int>(r.time_proc));
            return;
        }
        const char* text = result_text(r.get_result);
        say_dlg(srv_, d_, "%s{%d} Time:%d ms Error code:%d  %s", name,
                static_cast<int>(r.get_cmd), static_cast<int>(r.time_proc),
                static_cast<int>(r.get_result), text != nullptr ? text : "");
    }
    void no_reply(uint8_t code) override {
        if (verbose(srv_)) say_dlg(srv_, d_, "Error Net_Handler %s", command_name(code));
    }
    void block_written(uint32_t block) override {
        if (verbose(srv_)) {
            say_dlg(srv_, d_, "NPW:%u; Adr: 0h%X;", static_cast<unsigned>(block),
                    static_cast<unsigned>(FLASH_BASE + block * WRITE_BLOCK_SIZE));
        }
        if (block == 0) d_.progress_shown = 0;  // a new write pass
        const uint32_t tenths = (block + 1) * 10 / IMAGE_BLOCKS;
        if (tenths > d_.progress_shown) {
            d_.progress_shown = tenths;
            if (!live_view_shows_progress(srv_)) {  // the live table shows it
                say_dlg(srv_, d_, "Запись FLASH: %u %%", static_cast<unsigned>(tenths * 10));
            }
        }
    }
    void flash_crc(uint32_t crc, bool matches) override {
        say_dlg(srv_, d_, "FLASH UP1 CRC32: 0h%X%s", crc, matches ? ", совпадает с образом" : "");
    }
    void config_read(uint8_t bits) override {
        if (!verbose(srv_)) return;
        say_dlg(srv_, d_, "%s", goes_to_text(bits));
        say_dlg(srv_, d_, "%s", programming_text(bits));
    }
    void written_again(uint32_t image_crc) override {
        say_dlg(srv_, d_, "CRC32 FLASH UP1 не совпадает с образом (0h%X), повторяем запись",
                image_crc);
    }
    void given_up(const GiveUp& why) override {
        char text[200];
        give_up_text(why, d_.ip, text, sizeof text);
        say_dlg(srv_, d_, "%s", text);
    }

private:
    Server& srv_;
    Dialogue& d_;
};

// The dialogue's end line, with its duration and repetitions; then its journal line.
void finish(Server& srv, Dialogue& d) {
    const DialogueEnd outcome = d.seq.log.outcome;
    journal_write(srv, d.journal, d.seq.log, outcome);
    // With the flash check off, a flash that differs was written and jumped all the same.
    const bool written = outcome == DialogueEnd::updated || outcome == DialogueEnd::crc_differs;
    const char* end = written ? "Обновление завершено, устройство переведено в приложение"
                      : outcome == DialogueEnd::jumped ? "Устройство переведено в приложение"
                                                         : "Обмен прерван";
    say_dlg(srv, d, "%s: %llu мс, повторов: %u", end,
            static_cast<unsigned long long>(now_ms(srv) - d.opened_ms),
            static_cast<unsigned>(d.seq.log.repeats));
    live_view_ended(srv, d, outcome);
    d.used = false;
}

bool pop(Dialogue& d, QueuedDatagram& out) {
    if (d.queue_count == 0) return false;
    out = d.queue[d.queue_head];
    d.queue_head = (d.queue_head + 1) % DIALOGUE_QUEUE_SIZE;
    --d.queue_count;
    return true;
}

// The datagrams the dialogue's queue keeps, oldest first, each sorted into d.in; a poll's shown
// at the frame trace level, the stale ones dropped without a word.
class QueueSource final : public ReplySource {
public:
    QueueSource(Server& srv, Dialogue& d, bool shown) : srv_(srv), d_(d), shown_(shown) {}
    bool next(const from_dev_update_t*& reply) override {
        QueuedDatagram q;
        if (!pop(d_, q)) return false;
        from_dev_bcst_t bc{};
        std::memset(&d_.in, 0, sizeof d_.in);
        const int16_t kind = sort_datagram(q.bytes, q.len, bc, d_.in);
        if (shown_ && tracing(srv_)) {
            say_dlg(srv_, d_, "RX byte:%d; Frame:%d CMD:%d Result:%d Kind:%d", q.len,
                    static_cast<int>(d_.in.n_frame), static_cast<int>(d_.in.get_cmd),
                    static_cast<int>(d_.in.get_result), static_cast<int>(kind));
        }
        reply = kind == NET_RX_DEV ? &d_.in : nullptr;
        return true;
    }

private:
    Server& srv_;
    Dialogue& d_;
    bool shown_;
};

// The poll: the oldest datagram kept, if any; reply-paced, what is kept is read until a valid
// reply (the rest is dropped).
bool poll(Server& srv, Dialogue& d) {
    QueueSource queue(srv, d, true);
    return sequence_poll(d.seq, sequence_config(srv.cfg), queue) != nullptr;
}

// What came of the command: the sequence evaluates it, and its next action is due at once.
void heard(Server& srv, Dialogue& d, bool got) {
    CompactOutput out(srv, d);
    sequence_heard(d.seq, sequence_config(srv.cfg), srv.image_crc, got ? &d.in : nullptr, now_ms(srv), out);
    d.deadline = now_ms(srv);
}

void send(Server& srv, Dialogue& d, const Next& next) {
    if (next.drop_stale) {  // a reply was accepted: what waits is stale
        QueueSource queue(srv, d, false);
        sequence_drop_stale(d.seq, queue);
    }
    sequence_payload(d.seq, sequence_config(srv.cfg), srv.img_bf, d.ext, d.out.f_address);
    seal_next(srv.exchange, d.out, next.code, d.ext);
    const int sent = send_command(srv, d.out, d.addr);
    if (sent < 0) {
        say_dlg(srv, d, "ERR: sendto()failed: %d", sent);
    } else if (tracing(srv)) {
        say_dlg(srv, d, "TX byte: %d; CMD:%d; Frame:%u", sent, static_cast<int>(next.code),
                static_cast<unsigned>(d.out.n_frame));
    }
    d.deadline = now_ms(srv) + next.ms;
    if (srv.cfg.reply_paced && poll(srv, d)) heard(srv, d, true);
}

// The action that is due: the poll when the wait for a reply is over, else the sequence's next.
void act(Server& srv, Dialogue& d) {
    if (sequence_awaiting(d.seq)) {
        heard(srv, d, poll(srv, d));
        return;
    }
    CompactOutput out(srv, d);
    const Next next = sequence_next(d.seq, sequence_config(srv.cfg), now_ms(srv), out);
    switch (next.what) {
        case Do::send:
            send(srv, d, next);
            break;
        case Do::pause:
        case Do::gap:
            d.deadline = now_ms(srv) + next.ms;
            break;
        case Do::end:
            finish(srv, d);
            break;
    }
}

}  // namespace

void dialogue_open(Server& srv, Dialogue& d, const DialogueStart& start) {
    d = Dialogue{};
    d.used = true;
    d.addr = start.addr;
    std::snprintf(d.ip, sizeof d.ip, "%s", start.ip);
    std::memcpy(d.mac, start.mac, sizeof d.mac);
    d.opened_ms = now_ms(srv);
    sequence_open(d.seq, start.first_proc, d.opened_ms, start.outside_networks);
    d.journal = start.journal;
    say_dlg(srv, d, "%s",
            d.seq.log.updating ? "Начато обновление ПО" : "Передаем команду CMD_JUMP_TO_APP");
    if (start.outside_networks) {
        char text[120];
        outside_networks_text(d.ip, text, sizeof text);
        say_dlg(srv, d, "%s", text);
    }
    live_view_opened(srv, d);
    d.deadline = d.opened_ms;
}

void dialogue_receive(Server& srv, Dialogue& d, const uint8_t* rx, int len) {
    if (d.queue_count == DIALOGUE_QUEUE_SIZE) {  // full: the oldest goes
        d.queue_head = (d.queue_head + 1) % DIALOGUE_QUEUE_SIZE;
        --d.queue_count;
        if (tracing(srv)) say_dlg(srv, d, "RX queue full: the oldest datagram dropped");
    }
    QueuedDatagram& q = d.queue[(d.queue_head + d.queue_count) % DIALOGUE_QUEUE_SIZE];
    q.len = len;
    const size_t keep = static_cast<size_t>(len) < sizeof q.bytes ? static_cast<size_t>(len)
                                                                  : sizeof q.bytes;
    std::memcpy(q.bytes, rx, keep);
    ++d.queue_count;
    if (sequence_awaiting(d.seq) && srv.cfg.reply_paced && poll(srv, d)) heard(srv, d, true);
}

void dialogue_run(Server& srv, Dialogue& d) {
    for (int n = 0; n < kMaxActionsPerRun && d.used && now_ms(srv) >= d.deadline; ++n) {
        act(srv, d);
    }
}

}  // namespace qd
