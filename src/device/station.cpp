// One simulated device's timetable: announcements, replies due, silence and its end.
#include "device/station.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "protocol/bytes.hpp"
#include "protocol/crc.hpp"

namespace qd::device {
namespace {

// The longest single wait, so that the loop looks at the time now and then whatever comes.
constexpr uint64_t MAX_WAIT_MS = 1000;
// The end of a silence for ever.
constexpr uint64_t NEVER = std::numeric_limits<uint64_t>::max();

bool intact(const Bytes& reply) {
    from_dev_update_t r{};
    return reply.size() == sizeof(from_dev_update_t) && check_frame(reply.data(), r).valid();
}

// A reply the server takes as the end of the dialogue: intact, CMD_JUMP_TO_APP, result 1.
bool accepts_jump(const Bytes& reply) {
    if (!intact(reply)) return false;
    from_dev_update_t r{};
    from_wire(reply.data(), r);
    return r.get_cmd == CMD_JUMP_TO_APP && r.get_result == RES_OK;
}

}  // namespace

Station::Station(Bootloader& dev, DatagramEndpoints& net, size_t socket, Console& con,
                 const RunSettings& settings, std::string label)
    : dev_(dev),
      net_(net),
      socket_(socket),
      con_(con),
      settings_(settings),
      label_(std::move(label)),
      next_announcement_(settings.first_announcement_ms) {}

void Station::announce_if_due(uint64_t now) {
    if (jump_answered_at_ || now < next_announcement_ || silent(now)) return;
    if (net_.send_to(socket_, dev_.announcement(), settings_.broadcast, UPDATE_PORT)) {
        ++stats_.announcements;
    } else {
        ++stats_.send_failures;
    }
    next_announcement_ = now + settings_.interval_ms;
}

void Station::send_due(uint64_t now) {
    while (!pending_.empty() && pending_.front().due_ms <= now) {
        const Pending p = std::move(pending_.front());
        pending_.erase(pending_.begin());
        if (!net_.send_to(socket_, p.bytes, p.to, p.port)) {
            ++stats_.send_failures;
            continue;
        }
        ++stats_.replies_sent;
        if (p.accepts_jump && !jump_answered_at_) {
            jump_answered_at_ = now;
            say(con_, "%sОтвет на CMD_JUMP_TO_APP отправлен, объявления прекращены.\n",
                label_.c_str());
        }
    }
}

// The replies go to the address the command came from, at the port the command names.
void Station::take(const Datagram& d, uint64_t now) {
    if (silenced(d, now)) return;
    const uint64_t unanswered_before = unanswered();
    const std::vector<Reply> replies = dev_.handle(d.bytes.data(), d.bytes.size());
    if (unanswered() != unanswered_before) return;
    if (replies.empty()) ++stats_.replies_lost;
    if (!replies.empty() && !intact(replies.front().bytes)) ++stats_.replies_damaged;
    if (replies.size() > 1) ++stats_.replies_duplicated;
    for (const Reply& r : replies) {
        queue(Pending{now + r.delay_ms, r.bytes, d.from, static_cast<uint16_t>(r.to_port),
                      accepts_jump(r.bytes)});
    }
}

// Datagrams that call for no reply at all: no valid command, or a muted one.
uint64_t Station::unanswered() const {
    return dev_.invalid_datagrams() + dev_.commands_muted();
}

// Drops what comes while the device is silent; the silence begins with its command.
bool Station::silenced(const Datagram& d, uint64_t now) {
    if (!silent_until_ && starts_silence(d)) {
        silent_until_ = settings_.silence.forever ? NEVER : now + settings_.silence.ms;
    }
    if (!silent(now)) return false;
    ++stats_.dropped_while_silent;
    return true;
}

bool Station::starts_silence(const Datagram& d) const {
    return settings_.silence.from_command != 0 &&
           dev_.valid_commands() + 1 == settings_.silence.from_command &&
           Bootloader::is_valid_command(d.bytes.data(), d.bytes.size());
}

void Station::queue(Pending p) {
    const auto at = std::upper_bound(pending_.begin(), pending_.end(), p.due_ms,
                                     [](uint64_t due, const Pending& q) { return due < q.due_ms; });
    pending_.insert(at, std::move(p));
}

std::optional<Ending> Station::ending(uint64_t now) const {
    if (jump_answered_at_ && now >= *jump_answered_at_ + settings_.after_jump_ms) {
        return Ending::jumped;
    }
    if (settings_.time_limit_ms != 0 && now >= settings_.time_limit_ms) {
        return jump_answered_at_ ? Ending::jumped : Ending::time_limit;
    }
    return std::nullopt;
}

uint64_t Station::next_event(uint64_t now) const {
    uint64_t next = now + MAX_WAIT_MS;
    if (!jump_answered_at_) {
        const uint64_t announce_at =
            silent(now) ? std::max(next_announcement_, *silent_until_) : next_announcement_;
        next = std::min(next, announce_at);
    }
    if (!pending_.empty()) next = std::min(next, pending_.front().due_ms);
    if (jump_answered_at_) next = std::min(next, *jump_answered_at_ + settings_.after_jump_ms);
    if (settings_.time_limit_ms != 0) next = std::min<uint64_t>(next, settings_.time_limit_ms);
    return std::max(next, now);
}

}  // namespace qd::device
