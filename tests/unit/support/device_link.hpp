// Puts device models behind the fake network: what the server sends to a device's address
// reaches that model, and each reply becomes receivable, from the device's address, once the
// virtual clock has advanced by the reply's delay from the moment the command was sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "device/bootloader.hpp"
#include "platform/clock.hpp"
#include "support/fakes.hpp"
#include "support/virtual_clock.hpp"

namespace qd::test {

// Any number of devices, each at its own address.
class RackLink {
public:
    // Takes over net.on_send, net.before_receive and net.next_due until destroyed.
    RackLink(FakeNet& net, const VirtualClock& clock, std::vector<device::Bootloader*> devs);
    ~RackLink();
    RackLink(const RackLink&) = delete;
    RackLink& operator=(const RackLink&) = delete;

    // Sends device i's broadcast now. A device that has jumped to its application no longer
    // announces: then nothing is sent and the result is false.
    bool announce(size_t i);
    // Puts a datagram on its way to the server from `from` (network byte order), due now.
    void arrive_now(Bytes bytes, uint32_t from);
    // Datagrams on their way to the server that it cannot receive yet.
    size_t in_flight() const { return in_flight_.size(); }
    // From now on every device that has not jumped announces itself every interval_ms of
    // virtual time, also in the middle of a dialogue; 0 stops it.
    void announce_every(uint64_t interval_ms);
    // Announcements sent, by announce() and announce_every().
    size_t announcements = 0;

    // Asked for every command to device i: false makes the device not hear it (unplugged).
    std::function<bool(size_t i, const SentDatagram&)> hears;
    // The virtual time of each device's first and last command heard; -1 before the first.
    std::vector<int64_t> first_heard;
    std::vector<int64_t> last_heard;
    // Datagrams sent to an address that is no device's.
    size_t stray = 0;

private:
    struct InFlight {
        uint64_t due_ms;
        Bytes bytes;
        uint32_t from;
    };

    void on_datagram(const SentDatagram& d);
    void post(uint64_t due_ms, Bytes bytes, uint32_t from);
    void release_due();
    void announce_due();
    std::optional<uint64_t> next_arrival() const;

    FakeNet& net_;
    const VirtualClock& clock_;
    std::vector<device::Bootloader*> devs_;
    std::vector<uint32_t> addrs_;      // each device's IPv4 address, network byte order
    std::vector<InFlight> in_flight_;  // by due time; equal times in the order posted
    uint64_t announce_interval_ms_ = 0;
    uint64_t next_announce_ms_ = 0;
};

// One device.
class DeviceLink : public RackLink {
public:
    DeviceLink(FakeNet& net, const VirtualClock& clock, device::Bootloader& dev)
        : RackLink(net, clock, {&dev}) {}
    bool announce() { return RackLink::announce(0); }
};

}  // namespace qd::test
