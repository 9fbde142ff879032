// One simulated device on the network: when it announces itself, which replies are due and
// when, its silence, and when it is done. The loop that carries its datagrams is the rack's
// (simulator.hpp); several stations share it, each with its own socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/bootloader.hpp"
#include "platform/console.hpp"
#include "platform/datagram.hpp"

namespace qd::device {

// A spell in which the device is deaf and dumb, as if its link were down: from the arrival of
// valid command `from_command` (counted from 1) on, for `ms` or for ever, it drops whatever it
// receives (without counting it as a command), answers nothing and does not announce itself.
// Replies due from before still go out. A device silent for ever ends by its time limit.
struct Silence {
    uint64_t from_command = 0;  // 0: never silent
    uint32_t ms = 0;
    bool forever = false;  // ms does not count
};

struct RunSettings {
    Ipv4 broadcast{};  // announcements go there, port 5008
    uint32_t interval_ms = 1000;
    uint32_t after_jump_ms = 0;  // 0: end as soon as the jump is answered
    uint32_t time_limit_ms = 0;  // 0: none
    Silence silence{};
    uint32_t first_announcement_ms = 0;  // from the start to its first announcement
};

enum class Ending {
    jumped,     // the reply accepting CMD_JUMP_TO_APP went out
    time_limit  // the time limit came first
};

struct RunStats {
    uint64_t announcements = 0;
    uint64_t replies_sent = 0;
    uint64_t replies_lost = 0;     // commands answered with nothing on purpose (not muted ones)
    uint64_t replies_damaged = 0;  // replies sent with a wrong CRC on purpose
    uint64_t send_failures = 0;    // datagrams the system refused
    uint64_t replies_duplicated = 0;    // commands answered twice on purpose
    uint64_t dropped_while_silent = 0;  // datagrams dropped during the silence
};

class Station {
public:
    // Sends through socket `socket` of `net`; its console lines begin with `label`.
    Station(Bootloader& dev, DatagramEndpoints& net, size_t socket, Console& con,
            const RunSettings& settings, std::string label);

    // The replies due by `now`.
    void send_due(uint64_t now);
    // Its announcement, when one is due.
    void announce_if_due(uint64_t now);
    // One datagram that came to its socket.
    void take(const Datagram& d, uint64_t now);
    // How it ended, once it has.
    std::optional<Ending> ending(uint64_t now) const;
    // When it next has something to do, at most a second from `now` (and never before it).
    uint64_t next_event(uint64_t now) const;
    const RunStats& stats() const { return stats_; }

private:
    struct Pending {
        uint64_t due_ms;
        Bytes bytes;
        Ipv4 to;
        uint16_t port;
        bool accepts_jump;
    };

    uint64_t unanswered() const;
    bool silenced(const Datagram& d, uint64_t now);
    bool starts_silence(const Datagram& d) const;
    bool silent(uint64_t now) const { return silent_until_ && now < *silent_until_; }
    void queue(Pending p);

    Bootloader& dev_;
    DatagramEndpoints& net_;
    size_t socket_;
    Console& con_;
    RunSettings settings_;
    std::string label_;
    RunStats stats_;
    uint64_t next_announcement_;
    std::optional<uint64_t> jump_answered_at_;
    std::optional<uint64_t> silent_until_;  // set when the silence begins
    std::vector<Pending> pending_;  // by due time; equal times in the order queued
};

}  // namespace qd::device
