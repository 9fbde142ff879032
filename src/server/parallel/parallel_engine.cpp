// The engine for several devices at once: announcements decided while a slot is free, datagrams
// routed by source address, and one wait for the earliest deadline or the next datagram.
#include "server/parallel/parallel_engine.hpp"

#include <cstring>

#include "protocol/serial.hpp"
#include "server/announcement.hpp"
#include "server/console/live_view.hpp"
#include "server/net/exchange.hpp"
#include "server/parallel/parallel_dialogue.hpp"
#include "server/server.hpp"

namespace qd {
namespace {

// The longest wait when no dialogue runs: announcements wake the engine earlier.
constexpr uint32_t kIdleWaitMs = 1000;
// Datagrams read after one wait at most, so that the deadlines are kept under a flood.
constexpr int kMaxReadsPerPass = 256;
constexpr int kRxBufferSize = 512;

void open_send_socket(Server& srv) {
    srv.parallel.so_tx = open_nonblocking_udp(srv);
    srv.parallel.started = true;
}

ParallelDialogue* dialogue_at(Server& srv, uint32_t addr) {
    for (ParallelDialogue& d : srv.parallel.slots) {
        if (d.rec.open && d.rec.IP_addr_tx == addr) return &d;
    }
    return nullptr;
}

ParallelDialogue* free_slot(Server& srv) {
    uint32_t running = 0;
    ParallelDialogue* free = nullptr;
    for (ParallelDialogue& d : srv.parallel.slots) {
        if (d.rec.open) {
            ++running;
        } else if (free == nullptr) {
            free = &d;
        }
    }
    return running < srv.cfg.parallel ? free : nullptr;
}

// Another serial number announcing the address of a device in a dialogue: said once.
void say_other_serial(Server& srv, ParallelDialogue& d, const from_dev_bcst_t& bc) {
    if (d.other_serial_said || std::memcmp(d.mac, bc.my_mac, sizeof d.mac) == 0) return;
    d.other_serial_said = true;
    say(srv.con, "%s Сер. номер %s объявил адрес устройства в обмене, объявление отброшено\n",
        d.rec.dev_IP, serial_text(bc.my_mac).c_str());
}

// A valid announcement: dropped while its address is in a dialogue or every slot is busy;
// otherwise reported and decided as one block, and a dialogue opened when the device is to be
// updated or sent to its application.
void announcement(Server& srv, const from_dev_bcst_t& bc) {
    uint32_t addr = 0;
    std::memcpy(&addr, bc.my_ip, sizeof addr);  // first octet first: network byte order
    if (ParallelDialogue* d = dialogue_at(srv, addr)) {
        say_other_serial(srv, *d, bc);
        return;
    }
    ParallelDialogue* slot = free_slot(srv);
    if (slot == nullptr) return;
    char ip[32];
    announced_ip(bc, ip);
    DialogueStart start{addr, ip, bc.my_mac, JournalEntry{}, CMD_NOP};
    srv.con.hold();
    const Analysis a = report_and_analyse(srv, bc);
    const Acted acted = act_and_say(srv, bc, ip, a, 0, start.journal);
    srv.con.release();
    const DeviceAction action = acted.action.what;
    if (action == DeviceAction::ignore) return;
    if (action == DeviceAction::jump) start.first_proc = CMD_JUMP_TO_APP;
    start.outside_networks = acted.outside_networks;
    dialogue_open(srv, *slot, start);
}

// Only a datagram of an announcement's length is sorted here; the rest goes to the dialogue at
// its source address, whose poll sorts it (a reply's checksum is taken once).
void route(Server& srv, const uint8_t* rx, int len, uint32_t from) {
    from_dev_bcst_t bc{};
    from_dev_update_t reply{};
    if (len == static_cast<int>(sizeof bc) && sort_datagram(rx, len, bc, reply) == NET_RX_BCST) {
        announcement(srv, bc);
        return;
    }
    if (ParallelDialogue* d = dialogue_at(srv, from)) dialogue_receive(srv, *d, rx, len);
}

void read_datagrams(Server& srv) {
    uint8_t rx[kRxBufferSize];
    for (int n = 0; n < kMaxReadsPerPass; ++n) {
        uint32_t from = 0;
        const int len = srv.net.receive_from(srv.exchange.so_rx_s, rx, kRxBufferSize, from);
        if (len < 0) return;
        route(srv, rx, len, from);
    }
}

void run_due(Server& srv) {
    for (ParallelDialogue& d : srv.parallel.slots) {
        if (d.rec.open) dialogue_run(srv, d);
    }
}

// How long the engine may wait: until the earliest deadline of a dialogue.
uint32_t wait_budget(Server& srv) {
    const uint64_t now = srv.clock.monotonic_ms();
    uint64_t budget = kIdleWaitMs;
    for (const ParallelDialogue& d : srv.parallel.slots) {
        if (!d.rec.open) continue;
        const uint64_t left = d.deadline > now ? d.deadline - now : 0;
        if (left < budget) budget = left;
    }
    return static_cast<uint32_t>(budget);
}

}  // namespace

bool parallel_engine_on(const Settings& cfg) {
    return cfg.parallel >= PARALLEL_MIN && cfg.parallel <= PARALLEL_MAX;
}

void parallel_pass(Server& srv) {
    if (!srv.parallel.started) open_send_socket(srv);
    // What the dialogues print between two waits goes out as one write, right before the wait.
    srv.con.hold();
    run_due(srv);
    srv.con.release();
    const uint32_t budget = live_view_before_wait(srv, wait_budget(srv));
    const bool readable = srv.net.wait_readable(srv.exchange.so_rx_s, budget);
    srv.con.hold();
    if (readable) read_datagrams(srv);
    run_due(srv);
    srv.con.release();
}

}  // namespace qd
