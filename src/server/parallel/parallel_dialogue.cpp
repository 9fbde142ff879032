// The driver of a dialogue (update/dialogue.hpp) among several: its waits on deadlines, its
// datagrams from its own queue, its lines compact and led by the device's address.
#include "server/parallel/parallel_dialogue.hpp"

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

// Steps taken in one run at most: with zero pauses a silent device would hold the engine.
constexpr int kMaxActionsPerRun = 64;

uint64_t now_ms(Server& srv) { return srv.clock.monotonic_ms(); }
bool verbose(const Server& srv) { return srv.cfg.on_dbg_pr == 1; }
bool tracing(const Server& srv) { return srv.cfg.on_dbg_pf == 1; }

// A line of the dialogue: the device's address, a blank, the text, as one write.
__attribute__((format(QD_PRINTF_FORMAT, 3, 4))) void say_dlg(Server& srv,
                                                               const ParallelDialogue& d,
                                                               const char* fmt, ...) {
    char text[400];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    say(srv.con, "%s %s\n", d.rec.dev_IP, text);
}

class CompactOutput final : public SequenceOutput {
public:
    CompactOutput(Server& srv, ParallelDialogue& d) : srv_(srv), d_(d) {}

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
        char text[120];
        written_again_text(image_crc, text, sizeof text);
        say_dlg(srv_, d_, "%s", text);
    }
    void given_up(const GiveUp& why) override {
        char text[200];
        give_up_text(why, d_.rec.dev_IP, text, sizeof text);
        say_dlg(srv_, d_, "%s", text);
    }

private:
    Server& srv_;
    ParallelDialogue& d_;
};

// The dialogue's end line, with its duration and repetitions; then its journal line.
void finish(Server& srv, ParallelDialogue& d) {
    const DialogueCounts& log = d.rec.dialogue.log();
    const DialogueEnd outcome = log.outcome;
    journal_write(srv, d.rec.journal_entry, log, outcome);
    // With the flash check off, a flash that differs was written and jumped all the same.
    const bool written = outcome == DialogueEnd::updated || outcome == DialogueEnd::crc_differs;
    const char* end = written ? "Обновление завершено, устройство переведено в приложение"
                      : outcome == DialogueEnd::jumped ? "Устройство переведено в приложение"
                                                         : "Обмен прерван";
    say_dlg(srv, d, "%s: %llu мс, повторов: %u", end,
            static_cast<unsigned long long>(now_ms(srv) - d.opened_ms),
            static_cast<unsigned>(log.repeats));
    live_view_ended(srv, d, outcome);
    d.rec.open = false;
}

bool pop(ParallelDialogue& d, QueuedDatagram& out) {
    if (d.queue_count == 0) return false;
    out = d.queue[d.queue_head];
    d.queue_head = (d.queue_head + 1) % DIALOGUE_QUEUE_SIZE;
    --d.queue_count;
    return true;
}

// The oldest datagram kept, sorted into rec.in_dev and fed to the dialogue; one for a poll is
// shown at the frame trace level, a stale one dropped without a word. False when none is kept.
bool feed_oldest(Server& srv, ParallelDialogue& d, bool shown, CompactOutput& out) {
    QueuedDatagram q;
    if (!pop(d, q)) return false;
    from_dev_bcst_t bc{};
    from_dev_update_t& in = d.rec.in_dev;
    std::memset(&in, 0, sizeof in);
    const int16_t kind = sort_datagram(q.bytes, q.len, bc, in);
    if (shown && tracing(srv)) {
        say_dlg(srv, d, "RX byte:%d; Frame:%d CMD:%d Result:%d Kind:%d", q.len,
                static_cast<int>(in.n_frame), static_cast<int>(in.get_cmd),
                static_cast<int>(in.get_result), static_cast<int>(kind));
    }
    d.rec.dialogue.datagram(kind == NET_RX_DEV ? &in : nullptr, now_ms(srv), out);
    return true;
}

void transmit(Server& srv, ParallelDialogue& d, const Command& c) {
    from_serv_update_t& os = d.rec.out_serv;
    os.f_address = c.f_address;
    seal_next(srv.exchange, os, c.code, c.payload);
    const int sent = send_command(srv, srv.parallel.so_tx, os, d.rec.IP_addr_tx);
    if (sent < 0) {
        say_dlg(srv, d, "ERR: sendto()failed: %d", sent);
    } else if (tracing(srv)) {
        say_dlg(srv, d, "TX byte: %d; CMD:%d; Frame:%u", sent, static_cast<int>(c.code),
                static_cast<unsigned>(os.n_frame));
    }
}

// What a step of the dialogue came to: a command sent or a wait over counts against the run's
// limit, as one action; a datagram fed does not.
enum class Ran : uint8_t { waits, action, fed };

// What the dialogue wants done now, done; it waits until d.deadline, or has ended.
Ran advance(Server& srv, ParallelDialogue& d, CompactOutput& out) {
    DeviceDialogue& dlg = d.rec.dialogue;
    const uint64_t now = now_ms(srv);
    const Step st = dlg.next(now, out);
    switch (st.want) {
        case Want::transmit:
            transmit(srv, d, st.command);
            return Ran::action;
        case Want::drain:  // a reply was accepted: what the queue keeps is stale
            if (!feed_oldest(srv, d, false, out)) dlg.timeout();
            return Ran::fed;
        case Want::wait:
            if (st.datagrams && feed_oldest(srv, d, true, out)) return Ran::fed;
            d.deadline = st.deadline;
            if (now < st.deadline) return Ran::waits;
            dlg.timeout();
            return Ran::action;
        case Want::poll:
            if (!feed_oldest(srv, d, true, out)) dlg.datagram(nullptr, now, out);
            return Ran::fed;
        case Want::end:
            finish(srv, d);
            break;
    }
    return Ran::waits;
}

}  // namespace

void dialogue_open(Server& srv, ParallelDialogue& d, const DialogueStart& start) {
    d = ParallelDialogue{};  // a dialogue among several starts with its payload zeroed
    DialogueRecord& rec = d.rec;
    rec.open = true;
    rec.IP_addr_tx = start.addr;
    std::snprintf(rec.dev_IP, sizeof rec.dev_IP, "%s", start.ip);
    std::memcpy(d.mac, start.mac, sizeof d.mac);
    d.opened_ms = now_ms(srv);
    rec.dialogue.open(dialogue_setup(srv.cfg, srv.img_bf, srv.image_crc), start.first_proc,
                      d.opened_ms, start.outside_networks);
    rec.journal_entry = start.journal;
    say_dlg(srv, d, "%s",
            rec.dialogue.log().updating ? "Начато обновление ПО" : "Передаем команду CMD_JUMP_TO_APP");
    if (start.outside_networks) {
        char text[120];
        outside_networks_text(rec.dev_IP, text, sizeof text);
        say_dlg(srv, d, "%s", text);
    }
    live_view_opened(srv, d);
    d.deadline = d.opened_ms;
}

void dialogue_receive(Server& srv, ParallelDialogue& d, const uint8_t* rx, int len) {
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
    // Reply-paced, a reply ends the wait: heard now, the next step due at once.
    DeviceDialogue& dlg = d.rec.dialogue;
    if (!dlg.listening()) return;
    CompactOutput out(srv, d);
    while (dlg.listening() && feed_oldest(srv, d, true, out)) {
    }
    if (!dlg.listening()) d.deadline = now_ms(srv);
}

void dialogue_run(Server& srv, ParallelDialogue& d) {
    CompactOutput out(srv, d);
    for (int n = 0; n < kMaxActionsPerRun && d.rec.open;) {
        const Ran ran = advance(srv, d, out);
        if (ran == Ran::waits) return;
        if (ran == Ran::action) ++n;
    }
}

}  // namespace qd
