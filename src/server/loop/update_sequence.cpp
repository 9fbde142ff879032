// The one-at-a-time driver of the update sequence (sequence.cpp): each command sent, the pause
// slept and one poll made, the dialogue's lines printed as the console has them; the payload
// and flash address carried over from one dialogue to the next.
#include "server/loop/update_sequence.hpp"

#include "protocol/commands.hpp"
#include "server/net/device_address.hpp"
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
        give_up_text(why, srv_.loop.dev_IP, text, sizeof text);
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

// One datagram read through Net_Handler: its valid reply, or nullptr.
const from_dev_update_t* read_one(Server& srv) {
    LoopState& loop = srv.loop;
    return Net_Handler(srv, srv.exchange.in_bc, loop.in_dev) == NET_RX_DEV ? &loop.in_dev : nullptr;
}

// The poll after a command. With fixed pauses, once, after the pause. Reply-paced, whatever
// arrives before the wait is over is read (what is not the reply is shown and dropped), and once
// more when it is over.
class PollSource final : public ReplySource {
public:
    PollSource(Server& srv, uint64_t deadline) : srv_(srv), deadline_(deadline) {}
    bool next(const from_dev_update_t*& reply) override {
        if (last_done_) return false;
        if (srv_.cfg.reply_paced) {
            const uint64_t now = srv_.clock.monotonic_ms();
            if (now < deadline_ && wait_readable(srv_, static_cast<uint32_t>(deadline_ - now))) {
                reply = read_one(srv_);
                return true;
            }
        }
        last_done_ = true;
        reply = read_one(srv_);
        return true;
    }

private:
    Server& srv_;
    uint64_t deadline_;
    bool last_done_ = false;
};

// What already waits, read at once (at most kMaxStaleDrop datagrams, so that a sender that never
// stops cannot hold the dialogue).
class WaitingSource final : public ReplySource {
public:
    explicit WaitingSource(Server& srv) : srv_(srv) {}
    bool next(const from_dev_update_t*& reply) override {
        if (read_ >= kMaxStaleDrop || !srv_.net.wait_readable(srv_.exchange.so_rx_s, 0)) {
            return false;
        }
        ++read_;
        reply = read_one(srv_);
        return true;
    }

private:
    Server& srv_;
    int read_ = 0;
};

// Sends the command with its payload, waits as the pacing says and polls: the reply taken, or
// nullptr. After an accepted reply nothing is outstanding, so what waits before the command is
// stale (a duplicate, a late copy, other traffic). A send that fails is an attempt without a
// reply: the pause and the poll follow all the same.
const from_dev_update_t* send_and_poll(Server& srv, const SequenceConfig& cfg, const Next& next) {
    LoopState& loop = srv.loop;
    if (next.drop_stale) {
        WaitingSource waiting(srv);
        sequence_drop_stale(loop.seq, waiting);
    }
    sequence_payload(loop.seq, cfg, srv.img_bf, loop.cmd_ext_ar, loop.out_serv.f_address);
    prep_cmd(srv, loop.out_serv, next.code, loop.cmd_ext_ar);
    tx_struct(srv);
    if (!cfg.reply_paced) sleep_ms(srv, next.ms);
    PollSource poll(srv, srv.clock.monotonic_ms() + next.ms);
    return sequence_poll(loop.seq, cfg, poll);
}

}  // namespace

void run_update_steps(Server& srv) {
    LoopOutput out(srv);
    Sequence& seq = srv.loop.seq;
    const SequenceConfig cfg = sequence_config(srv.cfg);
    const HeldConsole held(srv.con);
    for (;;) {
        const Next next = sequence_next(seq, cfg, srv.clock.monotonic_ms(), out);
        switch (next.what) {
            case Do::send: {
                const from_dev_update_t* reply = send_and_poll(srv, cfg, next);
                sequence_heard(seq, cfg, srv.image_crc, reply,
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
    // A board the PC cannot reach is named before the first command; the dialogue goes on (a
    // route may still reach it).
    const bool outside = pc_networks_reach(srv, srv.loop.dev_IP) == Reach::outside;
    if (outside) {
        char text[120];
        outside_networks_text(srv.loop.dev_IP, text, sizeof text);
        say_line(srv.con, text);
    }
    Sequence& seq = srv.loop.seq;
    sequence_open(seq, first_proc, srv.clock.monotonic_ms(), outside);  // before it can end
    srv.loop.journal_due = true;
    open_soc_tx(srv);
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
