// The two UDP sockets, building and sending commands, and reading and sorting datagrams.
#include "server/net/exchange.hpp"

#include <cstring>
#include <type_traits>

#include "protocol/constants.hpp"

namespace qd {
namespace {

constexpr int RX_BUFFER_SIZE = 512;

// What checking a datagram found: its kind, and for a frame with the right length the frame's
// own check.
struct DatagramCheck {
    int16_t kind = NET_RX_NONE;
    bool broadcast = false;
    FrameCheck frame;
};

template <typename Frame>
DatagramCheck check_as(const uint8_t* rx, Frame& f) {
    constexpr bool broadcast = std::is_same_v<Frame, from_dev_bcst_t>;
    DatagramCheck c;
    c.broadcast = broadcast;
    c.frame = check_frame(rx, f);
    if (!c.frame.header) return c;
    if (c.frame.valid()) {
        c.kind = broadcast ? NET_RX_BCST : NET_RX_DEV;
    } else {
        c.kind = broadcast ? NET_RX_BCST_BAD_CRC : NET_RX_DEV_BAD_CRC;
    }
    return c;
}

// The one check of a received datagram: its length, then the header, then the CRC; the frame
// decoded into i_b or i_d.
DatagramCheck check_datagram(const uint8_t* rx, int len, from_dev_bcst_t& i_b,
                             from_dev_update_t& i_d) {
    if (len == static_cast<int>(sizeof(from_dev_bcst_t))) return check_as(rx, i_b);
    if (len == static_cast<int>(sizeof(from_dev_update_t))) return check_as(rx, i_d);
    return DatagramCheck{};
}

// What a check found, shown as the level says: the CRCs and the frame at the frame trace level,
// the progress character at the compact level.
void show_check(Server& srv, const DatagramCheck& c, const from_dev_bcst_t& i_b,
                const from_dev_update_t& i_d) {
    if (!c.frame.header) return;
    const bool trace = srv.cfg.on_dbg_pf == 1;
    if (trace) {
        say(srv.con, c.broadcast ? "BC, CRC calc:%X, CRC rec:%X " : "DEV, CRC calc:%X, CRC rec:%X ",
            c.frame.computed, c.frame.received);
    }
    if (c.kind == NET_RX_BCST_BAD_CRC || c.kind == NET_RX_DEV_BAD_CRC) {
        if (trace) say_line(srv.con, "ERROR! ");
        return;
    }
    if (srv.cfg.on_dbg_pr == 0) say(srv.con, c.broadcast ? "B" : "D");
    if (!trace) return;
    if (c.broadcast) {
        say(srv.con, "OK! Frame:%d\n", static_cast<int>(i_b.n_frame));
    } else {
        say(srv.con, "Frame:%d CMD:%d Result:%d \n", static_cast<int>(i_d.n_frame),
            static_cast<int>(i_d.get_cmd), static_cast<int>(i_d.get_result));
    }
}

}  // namespace

int open_nonblocking_udp(Server& srv) {
    const int so = srv.net.open_udp();
    if (so < 0) {
        say_line(srv.con, "ERROR - create socket() failed ");
        fatal_exit(srv, -1);
    }
    srv.net.set_nonblocking(so);
    return so;
}

void open_soc_rx(Server& srv) {
    Exchange& x = srv.exchange;
    x.so_rx_s = open_nonblocking_udp(srv);
    if (srv.net.bind_any(x.so_rx_s, UPDATE_PORT) < 0) {
        say(srv.con, "error bind rx: %d\n", srv.net.last_error());
        // Another program holds the port: the server would never hear a device.
        say_line(srv.con,
                 "Порт 5008 занят другой программой или недоступен, ждем его освобождения");
        x.rx_held = true;
        x.next_bind_ms = srv.clock.monotonic_ms() + RX_BIND_RETRY_MS;
        return;
    }
    x.rx_held = false;
    if (srv.cfg.on_dbg_pr == 1) say_line(srv.con, "Create soc rx ()");
}

bool retry_soc_rx(Server& srv) {
    Exchange& x = srv.exchange;
    const uint64_t now = srv.clock.monotonic_ms();
    if (!x.rx_held || now < x.next_bind_ms) return false;
    x.next_bind_ms = now + RX_BIND_RETRY_MS;
    // A new socket each time: one whose bind failed is not taken back everywhere.
    const int so = srv.net.open_udp();
    if (so < 0) return false;
    srv.net.set_nonblocking(so);
    if (srv.net.bind_any(so, UPDATE_PORT) < 0) {
        srv.net.close(so);
        return false;
    }
    srv.net.close(x.so_rx_s);
    x.so_rx_s = so;
    x.rx_held = false;
    return true;
}

void open_soc_tx(Server& srv, DialogueRecord& d) {
    Exchange& x = srv.exchange;
    x.so_tx_s = open_nonblocking_udp(srv);
    const char* dev_IP = d.dev_IP;
    d.IP_addr_tx = srv.net.address_of(dev_IP);
    if (srv.cfg.on_dbg_pf == 1) {
        say(srv.con, "Create soc tx. IP: %s, Port: %d\n", dev_IP, static_cast<int>(UPDATE_PORT));
    }
}

void close_socets_tx(Server& srv) {
    if (srv.net.close(srv.exchange.so_tx_s) < 0) {
        say_line(srv.con, "ERROR - closesocket() failed ");
        fatal_exit(srv, -1);
    }
    if (srv.cfg.on_dbg_pf == 1) say_line(srv.con, "closesocket() DEV ok! ");
}

void seal_next(Exchange& x, from_serv_update_t& os, uint8_t in_cmd, const uint8_t* ext_ar) {
    os.vers = FRAME_VERSION;
    os.magic_number = FRAME_MAGIC;
    os.my_port = UPDATE_PORT;
    os.n_frame = x.counter_frames++;
    std::memcpy(os.ext_area, ext_ar, sizeof os.ext_area);
    os.cmd = in_cmd;
    seal(os);
}

int send_command(Server& srv, int so, const from_serv_update_t& os, uint32_t addr) {
    uint8_t wire[sizeof(from_serv_update_t)];
    to_wire(os, wire);
    return srv.net.send_to(so, wire, static_cast<int>(sizeof wire), addr,
                           UPDATE_PORT);
}

int16_t sort_datagram(const uint8_t* rx, int len, from_dev_bcst_t& i_b, from_dev_update_t& i_d) {
    return check_datagram(rx, len, i_b, i_d).kind;
}

void prep_cmd(Server& srv, from_serv_update_t& os, uint8_t in_cmd, const uint8_t* ext_ar) {
    seal_next(srv.exchange, os, in_cmd, ext_ar);
    if (srv.cfg.on_dbg_pf == 1) {
        say(srv.con, "Create TX struct. S:%d; Calc CRC32:%X;\n", static_cast<int>(CMD_CRC_LEN),
            os.crc_struct);
    }
}

bool tx_struct(Server& srv, DialogueRecord& d) {
    const int sent = send_command(srv, srv.exchange.so_tx_s, d.out_serv, d.IP_addr_tx);
    if (sent < 0) {
        // A pulled cable or a refused address: the attempt failed, the dialogue goes on.
        say(srv.con, "ERR: sendto()failed: %d\n", sent);
        return false;
    }
    if (srv.cfg.on_dbg_pf == 1) {
        say(srv.con, "\n TX byte: %d; CMD:%d \n", static_cast<int>(sizeof(from_serv_update_t)),
            static_cast<int>(d.out_serv.cmd));
    }
    if (srv.cfg.on_dbg_pr == 0) say(srv.con, ">");
    std::memset(&d.in_dev, 0, sizeof d.in_dev);
    return true;
}

int16_t Net_Handler(Server& srv, from_dev_bcst_t& i_b, from_dev_update_t& i_d) {
    uint8_t rx[RX_BUFFER_SIZE] = {};
    std::memset(&i_d, 0, sizeof i_d);
    std::memset(&i_b, 0, sizeof i_b);
    const int received_bytes = srv.net.receive(srv.exchange.so_rx_s, rx, RX_BUFFER_SIZE);
    if (srv.cfg.on_dbg_pf == 1) say(srv.con, "   RX byte:%d; ", received_bytes);
    const DatagramCheck c = check_datagram(rx, received_bytes, i_b, i_d);
    show_check(srv, c, i_b, i_d);
    return c.kind;
}

}  // namespace qd
