#include "support/device_link.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "protocol/frames.hpp"

namespace qd::test {

DeviceLink::DeviceLink(FakeNet& net, const VirtualClock& clock, device::Bootloader& dev)
    : net_(net), clock_(clock), dev_(dev), dev_addr_(0) {
    std::memcpy(&dev_addr_, dev_.config().ip.data(), sizeof dev_addr_);
    net_.on_send = [this](const SentDatagram& d) { on_datagram(d); };
    net_.before_receive = [this] { release_due(); };
    net_.next_due = [this]() -> std::optional<uint64_t> {
        if (in_flight_.empty()) return std::nullopt;
        return in_flight_.front().due_ms;
    };
}

DeviceLink::~DeviceLink() {
    net_.on_send = nullptr;
    net_.before_receive = nullptr;
    net_.next_due = nullptr;
}

bool DeviceLink::announce() {
    if (dev_.jumped()) return false;
    post(clock_.slept_ms(), dev_.announcement());
    return true;
}

// Only datagrams to the device's address and update port reach it, and only replies addressed
// to the update port reach the server, which receives on no other.
void DeviceLink::on_datagram(const SentDatagram& d) {
    if (d.addr != dev_addr_ || d.port != UPDATE_PORT) return;
    for (device::Reply& r : dev_.handle(d.data.data(), d.data.size())) {
        if (r.to_port == UPDATE_PORT) post(clock_.slept_ms() + r.delay_ms, std::move(r.bytes));
    }
}

void DeviceLink::post(uint64_t due_ms, Bytes bytes) {
    const auto at = std::upper_bound(in_flight_.begin(), in_flight_.end(), due_ms,
                                     [](uint64_t due, const InFlight& f) { return due < f.due_ms; });
    in_flight_.insert(at, InFlight{due_ms, std::move(bytes)});
}

void DeviceLink::release_due() {
    const uint64_t now = clock_.slept_ms();
    auto it = in_flight_.begin();
    for (; it != in_flight_.end() && it->due_ms <= now; ++it) net_.arrive(it->bytes);
    in_flight_.erase(in_flight_.begin(), it);
}

}  // namespace qd::test
