// Simulated devices on a real network, in one thread: each announces itself at an interval and
// answers commands through its own socket, with the model's reply delays; each is done once its
// reply to CMD_JUMP_TO_APP has gone out (and the time after the jump has passed), or at the time
// limit. A rack runs several at consecutive addresses; a simulator runs one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "device/bootloader.hpp"
#include "device/station.hpp"
#include "platform/console.hpp"
#include "platform/datagram.hpp"

namespace qd::device {

// Milliseconds since a fixed start. Not the server's Clock: the devices never pause (they wait
// in their sockets) and need no local time, but their reply delays need whole milliseconds,
// which the Clock's monotonic time does not give on Windows (it steps by the system tick of
// about 16 ms, enough for the server's time-outs in seconds). Tests move this time on with
// their scripted network's waits.
class Stopwatch {
public:
    virtual ~Stopwatch() = default;
    virtual uint64_t elapsed_ms() = 0;
};

// The standard library's monotonic clock, from its construction.
class SteadyStopwatch : public Stopwatch {
public:
    SteadyStopwatch();
    uint64_t elapsed_ms() override;

private:
    int64_t start_ns_;
};

struct RackDevice {
    Bootloader* dev;
    RunSettings settings;
};

// Several devices in one loop, device i on socket i of `net`: it waits for the earliest thing
// due or a datagram, whichever comes first, and never spins. A device that is done has its
// socket closed and drops out; the run ends when every device is done. With more than one
// device, each device's console lines begin with its address.
class Rack {
public:
    Rack(const std::vector<RackDevice>& devices, DatagramEndpoints& net, Stopwatch& clock,
         Console& con);

    // How each device ended, by its number.
    std::vector<Ending> run();
    const RunStats& stats(size_t device) const { return stations_.at(device).stats(); }

private:
    void end_those_done(uint64_t now, std::vector<std::optional<Ending>>& ended);
    uint64_t next_event(uint64_t now, const std::vector<std::optional<Ending>>& ended) const;

    DatagramEndpoints& net_;
    Stopwatch& clock_;
    std::vector<Station> stations_;
};

// The first announcement of device `index` of a rack of `count` goes out this long after the
// start: 10 ms after the one before, or less when the interval is shorter than 10 ms a device,
// so that they do not all go out at once and all fall within the first interval.
uint32_t first_announcement_ms(uint32_t index, uint32_t count, uint32_t interval_ms);

// One socket seen as a set of one: the single device's socket in the rack's loop.
class SingleEndpoint : public DatagramEndpoints {
public:
    explicit SingleEndpoint(DatagramEndpoint& endpoint) : endpoint_(endpoint) {}
    bool send_to(size_t from, const std::vector<uint8_t>& bytes, const Ipv4& to,
                 uint16_t port) override;
    std::optional<Arrival> receive(uint32_t timeout_ms) override;
    // The socket stays open: the one device's end is the run's.
    void close(size_t) override {}

private:
    DatagramEndpoint& endpoint_;
};

// One device on one socket.
class Simulator {
public:
    Simulator(Bootloader& dev, DatagramEndpoint& net, Stopwatch& clock, Console& con,
              const RunSettings& settings);

    Ending run() { return rack_.run().front(); }
    const RunStats& stats() const { return rack_.stats(0); }

private:
    SingleEndpoint net_;
    Rack rack_;
};

}  // namespace qd::device
