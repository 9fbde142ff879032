// The two UDP sockets and the frames that move through them.
#pragma once

#include <cstdint>

#include "protocol/frames.hpp"
#include "server/dialogue_record.hpp"
#include "server/server.hpp"

namespace qd {

// Net_Handler results.
enum : int16_t {
    NET_RX_NONE = 0,
    NET_RX_BCST = 1,
    NET_RX_DEV = 2,
    NET_RX_BCST_BAD_CRC = -1,
    NET_RX_DEV_BAD_CRC = -2,
};

// A new non-blocking datagram socket; a socket that cannot be had ends the process.
int open_nonblocking_udp(Server& srv);
// How often a receive socket that could not be bound is tried again, ms.
inline constexpr uint64_t RX_BIND_RETRY_MS = 5000;

// The receive socket: non-blocking, bound to port 5008 on every local address. When the port is
// held by another program, it says so, and retry_soc_rx binds it later.
void open_soc_rx(Server& srv);
// While the receive socket is unbound, tries again once RX_BIND_RETRY_MS have passed since the
// last try, without a word; true when it is bound now.
bool retry_soc_rx(Server& srv);
// The send socket towards the dialogue's device, port 5008; its address noted in IP_addr_tx.
void open_soc_tx(Server& srv, DialogueRecord& d);
void close_socets_tx(Server& srv);
// Fills a command frame: header, the next frame number of the process, the 256-byte payload,
// code and CRC.
void seal_next(Exchange& x, from_serv_update_t& os, uint8_t in_cmd, const uint8_t* ext_ar);
// Sends a sealed command to addr, port 5008, through the engine's send socket `so`: the one way
// a command leaves the server, whichever engine drives it. What the system gave back: the bytes
// sent, or below 0 when it refused them.
int send_command(Server& srv, int so, const from_serv_update_t& os, uint32_t addr);
// Sorts a received datagram, without a word: NET_RX_... with the frame decoded into i_b or i_d.
int16_t sort_datagram(const uint8_t* rx, int len, from_dev_bcst_t& i_b, from_dev_update_t& i_d);
// Fills a command frame: header, next frame number, the 256-byte payload, code and CRC.
void prep_cmd(Server& srv, from_serv_update_t& os, uint8_t in_cmd, const uint8_t* ext_ar);
// Sends the dialogue's out_serv to its device and clears its in_dev; false, with its line, when
// the send failed.
bool tx_struct(Server& srv, DialogueRecord& d);
// Reads at most one datagram, without waiting, and sorts it.
int16_t Net_Handler(Server& srv, from_dev_bcst_t& i_b, from_dev_update_t& i_d);

}  // namespace qd
