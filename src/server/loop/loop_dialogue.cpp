// The one-at-a-time loop's dialogue (update/dialogue.hpp) driven through the loop's two sockets:
// each command sent, each wait slept (fixed pauses) or spent reading the receive socket
// (reply-paced), the dialogue's lines printed as the console has them; the loop's record, with
// the payload and flash address, kept from one dialogue to the next.
#include "server/loop/loop_dialogue.hpp"

#include "protocol/commands.hpp"
#include "server/net/exchange.hpp"
#include "server/journal/journal.hpp"
#include "server/console/report.hpp"
#include "update/dialogue.hpp"
#include "server/config/rules_config.hpp"
#include "server/server.hpp"

namespace qd {
namespace {

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
        char text[120];
        written_again_text(image_crc, text, sizeof text);
        say_line(srv_.con, text);
    }
    void given_up(const GiveUp& why) override {
        char text[200];
        give_up_text(why, srv_.loop.dlg.dev_IP, text, sizeof text);
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
    DialogueRecord& d = srv.loop.dlg;
    return Net_Handler(srv, srv.loop.in_bc, d.in_dev) == NET_RX_DEV ? &d.in_dev : nullptr;
}

// The command sealed with its payload and flash address and sent. A send that fails is an
// attempt without a reply: the wait and the poll follow all the same.
void transmit(Server& srv, const Command& c) {
    DialogueRecord& d = srv.loop.dlg;
    d.out_serv.f_address = c.f_address;
    prep_cmd(srv, d.out_serv, c.code, c.payload);
    tx_struct(srv, d);
}

// A wait of the dialogue: with fixed pauses slept whole, the poll after it; reply-paced, what
// arrives before the deadline is read and fed. The gap of a failed step ends the pass, whose
// closing pause it is.
bool wait(Server& srv, DeviceDialogue& dlg, const Step& st, LoopOutput& out) {
    const uint64_t now = srv.clock.monotonic_ms();
    const uint32_t left = st.deadline > now ? static_cast<uint32_t>(st.deadline - now) : 0;
    if (st.gap) {  // served by the pass's closing pause
        dlg.timeout();
        return false;
    }
    if (!st.datagrams) {
        sleep_ms(srv, left);
    } else if (left > 0 && wait_readable(srv, left)) {
        dlg.datagram(read_one(srv), srv.clock.monotonic_ms(), out);
        return true;
    }
    dlg.timeout();
    return true;
}

}  // namespace

void run_update_steps(Server& srv) {
    LoopOutput out(srv);
    DeviceDialogue& dlg = srv.loop.dlg.dialogue;
    const HeldConsole held(srv.con);
    for (;;) {
        const Step st = dlg.next(srv.clock.monotonic_ms(), out);
        switch (st.want) {
            case Want::transmit:
                transmit(srv, st.command);
                break;
            case Want::drain:  // what already waits, read at once
                if (srv.net.wait_readable(srv.exchange.so_rx_s, 0)) {
                    dlg.datagram(read_one(srv), srv.clock.monotonic_ms(), out);
                } else {
                    dlg.timeout();
                }
                break;
            case Want::wait:
                if (!wait(srv, dlg, st, out)) return;
                break;
            case Want::poll:
                dlg.datagram(read_one(srv), srv.clock.monotonic_ms(), out);
                break;
            case Want::end:
                srv.loop.state = STATE_FINISHING;
                return;
        }
    }
}

void start_dialogue(Server& srv, uint8_t first_proc, bool outside) {
    DialogueRecord& d = srv.loop.dlg;
    // A board the PC cannot reach is named before the first command; the dialogue goes on (a
    // route may still reach it).
    if (outside) {
        char text[120];
        outside_networks_text(d.dev_IP, text, sizeof text);
        say_line(srv.con, text);
    }
    // The payload and flash address are the last dialogue's: the loop's record is kept.
    d.dialogue.open(dialogue_setup(srv.cfg, srv.img_bf, srv.image_crc), first_proc, srv.clock.monotonic_ms(), outside);
    d.open = true;
    open_soc_tx(srv, d);
    srv.loop.state = STATE_UPDATING;  // its opening pause comes first
}

void finish_dialogue(Server& srv) {
    DialogueRecord& d = srv.loop.dlg;
    d.open = false;
    journal_write(srv, d.journal_entry, d.dialogue.log(), d.dialogue.log().outcome);
    close_socets_tx(srv);
    srv.clock.sleep_ms(SOCKET_PAUSE_MS);
    say_separator(srv.con);
    say_line(srv.con, "Ожидаем широковещательное сообщение от следующего устройства.");
    say_separator(srv.con);
    srv.loop.state = STATE_WAIT_BROADCAST;
}

}  // namespace qd
