// Puts a device model behind the fake network: what the server sends to the device's address
// reaches the model, and each reply becomes receivable once the virtual clock has advanced by
// the reply's delay from the moment the command was sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/bootloader.hpp"
#include "platform/clock.hpp"
#include "support/fakes.hpp"

namespace qd::test {

class DeviceLink {
public:
    // Takes over net.on_send, net.before_receive and net.next_due until destroyed.
    DeviceLink(FakeNet& net, const VirtualClock& clock, device::Bootloader& dev);
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    // Sends the device's broadcast now. A device that has jumped to its application no longer
    // announces: then nothing is sent and the result is false.
    bool announce();
    // Datagrams on their way to the server that it cannot receive yet.
    size_t in_flight() const { return in_flight_.size(); }

private:
    struct InFlight {
        uint64_t due_ms;
        Bytes bytes;
    };

    void on_datagram(const SentDatagram& d);
    void post(uint64_t due_ms, Bytes bytes);
    void release_due();

    FakeNet& net_;
    const VirtualClock& clock_;
    device::Bootloader& dev_;
    uint32_t dev_addr_;                // the device's IPv4 address, network byte order
    std::vector<InFlight> in_flight_;  // by due time; equal times in the order posted
};

}  // namespace qd::test
