// The one-at-a-time driver of the update sequence (sequence.cpp): each command sent, the pause
// slept and one poll made, the dialogue's lines printed as the console has them; the payload
// and flash address carried over from one dialogue to the next.
#include "server/loop/update_sequence.hpp"

#include "protocol/commands.hpp"
#include "server/net/exchange.hpp"
#include "server/journal/journal.hpp"
#include "server/console/report.hpp"
#include "update/sequence.hpp"
#include "server/config/rules_config.hpp"
#include "server/server.hpp"

namespace qd {
namespace {

// At most this many stale datagrams are dropped before one command, so that a sender that
// never stops cannot hold the dialogue.
constexpr int kMaxStaleDrop = 1024;

class LoopOutput final : public SequenceOutput {
public:
    explicit LoopOutput(Server& srv) : srv_(srv) {}

    void reply(const from_dev_update_t& r, uint8_t code) override {
        unif_dbg_out(srv_, r, command_name(code));
    }
    void no_reply(uint8_t code) override {
        say(srv_.con, "Error Net_Handler %s\n", command_name(code));
    }
    void block_written(uint32_t block) override {
        // " NPW:%d;" and " Adr: 0h%0X; \n" as one message.
        say(srv_.con, " NPW:%d; Adr: 0h%0X; \n", static_cast<int>(block),
            FLASH_BASE + block * WRITE_BLOCK_SIZE);
    }
    void flash_crc(uint32_t crc, bool) override {
        say(srv_.con, "FLASH UP1 CRC32: 0h%X \n", crc);
    }
    void config_read(uint8_t bits) override {
        say_line(srv_.con, goes_to_text(bits));
        say_line(srv_.con, programming_text(bits));
    }
    void written_again(uint32_t image_crc) override {
        say(srv_.con, "CRC32 FLASH UP1 не совпадает с образом (0h%X), повторяем запись\n",
            image_crc);
    }
    void given_up(const GiveUp& why) override {
        char text[200];
        give_up_text(why, text, sizeof text);
        say_line(srv_.con, text);
    }

private:
    Server& srv_;
};

// What the steps print between two waits goes out as one write, right before the wait: a
// block's reply, its report and the next command's mark are one write, not four.
struct HeldConsole {
    explicit HeldConsole(Console& con) : con_(con) { con_.hold(); }
    ~HeldConsole() { con_.release(); }
    HeldConsole(const HeldConsole&) = delete;
    HeldConsole& operator=(const HeldConsole&) = delete;

private:
    Console& con_;
};

void sleep_ms(Server& srv, uint32_t ms) {
    srv.con.release();
    srv.clock.sleep_ms(ms);
    srv.con.hold();
}

bool wait_readable(Server& srv, uint32_t ms) {
    srv.con.release();
    const bool readable = srv.net.wait_readable(srv.exchange.so_rx_s, ms);
    srv.con.hold();
    return readable;
}

// Reads one datagram: true for a valid reply that the step may take.
bool fresh_reply(Server& srv) {
    return Net_Handler(srv, srv.exchange.in_bc, srv.loop.in_dev) == NET_RX_DEV &&
           sequence_take(srv.loop.seq, srv.loop.in_dev, srv.cfg.reply_paced);
}

// Reply-paced: waits at most pause_ms for a valid reply. What arrives meanwhile and is not one
// (another device's broadcast, junk, a damaged frame) is read, shown and dropped.
bool await_reply(Server& srv, uint32_t pause_ms) {
    const uint64_t deadline = srv.clock.monotonic_ms() + pause_ms;
    for (;;) {
        const uint64_t now = srv.clock.monotonic_ms();
        if (now >= deadline) return false;
        if (!wait_readable(srv, static_cast<uint32_t>(deadline - now))) {
            return false;
        }
        if (fresh_reply(srv)) return true;
    }
}

// After an accepted reply nothing is outstanding: what waits already is a duplicate, a late
// copy or other traffic, and would be taken for the reply to the next command.
void drop_stale(Server& srv) {
    for (int n = 0; n < kMaxStaleDrop && srv.net.wait_readable(srv.exchange.so_rx_s, 0); ++n) {
        if (Net_Handler(srv, srv.exchange.in_bc, srv.loop.in_dev) == NET_RX_DEV) {
            sequence_note(srv.loop.seq, srv.loop.in_dev);
        }
    }
}

// Sends the command with its payload, pauses, and polls once: true for a reply to take. A send
// that fails is an attempt without a reply: the pause and the poll follow all the same.
bool send_and_poll(Server& srv, const Next& next) {
    if (next.drop_stale) drop_stale(srv);
    LoopState& loop = srv.loop;
    sequence_payload(loop.seq, sequence_config(srv.cfg), srv.img_bf, loop.cmd_ext_ar, loop.out_serv.f_address);
    prep_cmd(srv, loop.out_serv, next.code, loop.cmd_ext_ar);
    tx_struct(srv);
    if (srv.cfg.reply_paced) {
        if (await_reply(srv, next.ms)) return true;
    } else {
        sleep_ms(srv, next.ms);
    }
    return fresh_reply(srv);
}

}  // namespace

void run_update_steps(Server& srv) {
    LoopOutput out(srv);
    Sequence& seq = srv.loop.seq;
    const HeldConsole held(srv.con);
    for (;;) {
        const Next next = sequence_next(seq, sequence_config(srv.cfg), srv.clock.monotonic_ms(), out);
        switch (next.what) {
            case Do::send: {
                const bool got = send_and_poll(srv, next);
                sequence_heard(seq, sequence_config(srv.cfg), srv.image_crc, got ? &srv.loop.in_dev : nullptr,
                               srv.clock.monotonic_ms(), out);
                break;
            }
            case Do::pause:
                sleep_ms(srv, next.ms);
                break;
            case Do::gap:  // the rest of the pass, which ends with its pause
                return;
            case Do::end:
                srv.loop.state = STATE_FINISHING;
                return;
        }
    }
}

void start_dialogue(Server& srv, uint8_t first_proc) {
    srv.loop.journal_due = true;
    open_soc_tx(srv);
    Sequence& seq = srv.loop.seq;
    sequence_open(seq, first_proc, srv.clock.monotonic_ms());
    LoopOutput out(srv);
    const Next opening = sequence_next(seq, sequence_config(srv.cfg), srv.clock.monotonic_ms(), out);
    srv.clock.sleep_ms(opening.ms);  // the opening pause, slept with the socket's opening
    srv.loop.state = STATE_UPDATING;
}

void finish_dialogue(Server& srv) {
    srv.loop.journal_due = false;
    journal_write(srv, srv.loop.journal_entry, srv.loop.seq.log, srv.loop.seq.log.outcome);
    close_socets_tx(srv);
    srv.clock.sleep_ms(SOCKET_PAUSE_MS);
    say_separator(srv.con);
    say_line(srv.con, "Ожидаем широковещательное сообщение от следующего устройства.");
    say_separator(srv.con);
    srv.loop.state = STATE_WAIT_BROADCAST;
}

}  // namespace qd
