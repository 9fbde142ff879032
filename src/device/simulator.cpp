// The loop of simulated devices: one thread, one wait for all their sockets and timetables.
#include "device/simulator.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>

namespace qd::device {
namespace {

// Between the first announcements of two neighbours in a rack.
constexpr uint32_t ANNOUNCEMENT_STAGGER_MS = 10;

int64_t steady_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string label_of(const Bootloader& dev) {
    const Ipv4& ip = dev.config().ip;
    char text[24];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u: ", ip[0], ip[1], ip[2], ip[3]);
    return text;
}

}  // namespace

SteadyStopwatch::SteadyStopwatch() : start_ns_(steady_ns()) {}

uint64_t SteadyStopwatch::elapsed_ms() {
    return static_cast<uint64_t>((steady_ns() - start_ns_) / 1000000);
}

uint32_t first_announcement_ms(uint32_t index, uint32_t count, uint32_t interval_ms) {
    const uint32_t step = count == 0 ? 0 : std::min(ANNOUNCEMENT_STAGGER_MS, interval_ms / count);
    return index * step;
}

Rack::Rack(const std::vector<RackDevice>& devices, DatagramEndpoints& net, Stopwatch& clock,
           Console& con)
    : net_(net), clock_(clock) {
    stations_.reserve(devices.size());
    for (size_t i = 0; i < devices.size(); ++i) {
        const RackDevice& d = devices[i];
        stations_.emplace_back(*d.dev, net, i, con, d.settings,
                               devices.size() > 1 ? label_of(*d.dev) : std::string());
    }
}

std::vector<Ending> Rack::run() {
    std::vector<std::optional<Ending>> ended(stations_.size());
    for (;;) {
        const uint64_t now = clock_.elapsed_ms();
        end_those_done(now, ended);
        if (std::all_of(ended.begin(), ended.end(), [](const auto& e) { return e.has_value(); })) {
            break;
        }
        for (size_t i = 0; i < stations_.size(); ++i) {
            if (!ended[i]) stations_[i].announce_if_due(now);
        }
        const uint64_t wait = next_event(now, ended) - now;
        if (const std::optional<Arrival> a = net_.receive(static_cast<uint32_t>(wait))) {
            if (a->socket < stations_.size() && !ended[a->socket]) {
                stations_[a->socket].take(a->datagram, clock_.elapsed_ms());
            }
        }
    }
    std::vector<Ending> endings;
    for (const std::optional<Ending>& e : ended) endings.push_back(*e);
    return endings;
}

// Sends what is due; a device that is done then has its socket closed.
void Rack::end_those_done(uint64_t now, std::vector<std::optional<Ending>>& ended) {
    for (size_t i = 0; i < stations_.size(); ++i) {
        if (ended[i]) continue;
        stations_[i].send_due(now);
        ended[i] = stations_[i].ending(now);
        if (ended[i]) net_.close(i);
    }
}

uint64_t Rack::next_event(uint64_t now, const std::vector<std::optional<Ending>>& ended) const {
    uint64_t next = std::numeric_limits<uint64_t>::max();
    for (size_t i = 0; i < stations_.size(); ++i) {
        if (!ended[i]) next = std::min(next, stations_[i].next_event(now));
    }
    return next;
}

bool SingleEndpoint::send_to(size_t from, const std::vector<uint8_t>& bytes, const Ipv4& to,
                             uint16_t port) {
    return from == 0 && endpoint_.send_to(bytes, to, port);
}

std::optional<Arrival> SingleEndpoint::receive(uint32_t timeout_ms) {
    std::optional<Datagram> d = endpoint_.receive(timeout_ms);
    if (!d) return std::nullopt;
    return Arrival{0, std::move(*d)};
}

Simulator::Simulator(Bootloader& dev, DatagramEndpoint& net, Stopwatch& clock, Console& con,
                     const RunSettings& settings)
    : net_(net), rack_({RackDevice{&dev, settings}}, net_, clock, con) {}

}  // namespace qd::device
