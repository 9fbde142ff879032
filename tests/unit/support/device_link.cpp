// Device models behind the fake network, with the reply delays on the virtual clock.
#include "support/device_link.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "protocol/frames.hpp"

namespace qd::test {

RackLink::RackLink(FakeNet& net, const VirtualClock& clock, std::vector<device::Bootloader*> devs)
    : first_heard(devs.size(), -1),
      last_heard(devs.size(), -1),
      net_(net),
      clock_(clock),
      devs_(std::move(devs)) {
    for (const device::Bootloader* dev : devs_) {
        uint32_t addr = 0;
        std::memcpy(&addr, dev->config().ip.data(), sizeof addr);
        addrs_.push_back(addr);
    }
    net_.on_send = [this](const SentDatagram& d) { on_datagram(d); };
    net_.before_receive = [this] { release_due(); };
    net_.next_due = [this] { return next_arrival(); };
}

RackLink::~RackLink() {
    net_.on_send = nullptr;
    net_.before_receive = nullptr;
    net_.next_due = nullptr;
}

bool RackLink::announce(size_t i) {
    if (devs_.at(i)->jumped()) return false;
    post(clock_.slept_ms(), devs_[i]->announcement(), addrs_[i]);
    ++announcements;
    return true;
}

void RackLink::announce_every(uint64_t interval_ms) {
    announce_interval_ms_ = interval_ms;
    next_announce_ms_ = clock_.slept_ms() + interval_ms;
}

// The announcements whose time has come, each sent at its own time.
void RackLink::announce_due() {
    if (announce_interval_ms_ == 0) return;
    for (; next_announce_ms_ <= clock_.slept_ms(); next_announce_ms_ += announce_interval_ms_) {
        for (size_t i = 0; i < devs_.size(); ++i) {
            if (devs_[i]->jumped()) continue;
            post(next_announce_ms_, devs_[i]->announcement(), addrs_[i]);
            ++announcements;
        }
    }
}

std::optional<uint64_t> RackLink::next_arrival() const {
    std::optional<uint64_t> next;
    if (!in_flight_.empty()) next = in_flight_.front().due_ms;
    if (announce_interval_ms_ != 0 && (!next || next_announce_ms_ < *next)) {
        next = next_announce_ms_;
    }
    return next;
}

void RackLink::arrive_now(Bytes bytes, uint32_t from) {
    post(clock_.slept_ms(), std::move(bytes), from);
}

// Only datagrams to a device's address and update port reach it, and only replies addressed
// to the update port reach the server, which receives on no other.
void RackLink::on_datagram(const SentDatagram& d) {
    const auto at = std::find(addrs_.begin(), addrs_.end(), d.addr);
    if (at == addrs_.end() || d.port != UPDATE_PORT) {
        ++stray;
        return;
    }
    const auto i = static_cast<size_t>(at - addrs_.begin());
    if (hears && !hears(i, d)) return;
    announce_due();  // the counter of a device that numbers by announcements is up to date
    const auto now = static_cast<int64_t>(clock_.slept_ms());
    if (first_heard[i] < 0) first_heard[i] = now;
    last_heard[i] = now;
    for (device::Reply& r : devs_[i]->handle(d.data.data(), d.data.size())) {
        if (r.to_port == UPDATE_PORT) {
            post(clock_.slept_ms() + r.delay_ms, std::move(r.bytes), addrs_[i]);
        }
    }
}

void RackLink::post(uint64_t due_ms, Bytes bytes, uint32_t from) {
    const auto at = std::upper_bound(in_flight_.begin(), in_flight_.end(), due_ms,
                                     [](uint64_t due, const InFlight& f) { return due < f.due_ms; });
    in_flight_.insert(at, InFlight{due_ms, std::move(bytes), from});
}

void RackLink::release_due() {
    announce_due();
    const uint64_t now = clock_.slept_ms();
    auto it = in_flight_.begin();
    for (; it != in_flight_.end() && it->due_ms <= now; ++it) net_.arrive(it->bytes, it->from);
    in_flight_.erase(in_flight_.begin(), it);
}

}  // namespace qd::test
