// One device's dialogue driven by what its driver feeds it.
#include "update/dialogue.hpp"

namespace qd {
namespace {

Step step_of(Want want) {
    Step s;
    s.want = want;
    return s;
}

}  // namespace

void DeviceDialogue::open(const Setup& setup, uint8_t first, uint64_t now_ms, bool outside_networks) {
    setup_ = setup;
    sequence_open(seq_, first, now_ms, outside_networks);
    phase_ = Phase::idle;
}

Step DeviceDialogue::transmit(uint64_t now_ms) {
    sequence_payload(seq_, setup_.cfg, setup_.image, cmd_ext_ar_, f_address_);
    phase_ = Phase::awaiting;
    deadline_ = now_ms + pending_.ms;
    Step s = step_of(Want::transmit);
    s.command = Command{pending_.code, f_address_, cmd_ext_ar_};
    return s;
}

Step DeviceDialogue::next(uint64_t now_ms, SequenceOutput& out) {
    switch (phase_) {
        case Phase::idle:
            break;
        case Phase::pausing: {
            Step s = step_of(Want::wait);
            s.deadline = deadline_;
            s.gap = gap_;
            return s;
        }
        case Phase::draining:
            return step_of(Want::drain);
        case Phase::sending:
            return transmit(now_ms);
        case Phase::awaiting: {
            Step s = step_of(Want::wait);
            s.deadline = deadline_;
            s.datagrams = setup_.cfg.reply_paced;
            return s;
        }
        case Phase::polling:
            return step_of(Want::poll);
        case Phase::ended:
            return step_of(Want::end);
    }
    pending_ = sequence_next(seq_, setup_.cfg, now_ms, out);
    switch (pending_.what) {
        case Do::send:
            if (!pending_.drop_stale) return transmit(now_ms);
            phase_ = Phase::draining;
            dropped_ = 0;
            return step_of(Want::drain);
        case Do::pause:
        case Do::gap:
            phase_ = Phase::pausing;
            deadline_ = now_ms + pending_.ms;
            gap_ = pending_.what == Do::gap;
            return next(now_ms, out);
        case Do::end:
            break;
    }
    phase_ = Phase::ended;
    return step_of(Want::end);
}

void DeviceDialogue::datagram(const from_dev_update_t* reply, uint64_t now_ms, SequenceOutput& out) {
    switch (phase_) {
        case Phase::draining:
            if (reply != nullptr) sequence_stale(seq_, *reply);
            if (++dropped_ >= kMaxStaleDrop) phase_ = Phase::sending;
            return;
        case Phase::awaiting:
            if (!setup_.cfg.reply_paced) return;  // one poll, once the pause is over
            if (reply == nullptr || !sequence_takes(seq_, setup_.cfg, *reply, false)) return;
            break;
        case Phase::polling:
            if (reply != nullptr && !sequence_takes(seq_, setup_.cfg, *reply, true)) reply = nullptr;
            break;
        default:
            return;
    }
    phase_ = Phase::idle;
    sequence_heard(seq_, setup_.cfg, setup_.image_crc, reply, now_ms, out);
}

void DeviceDialogue::timeout() {
    switch (phase_) {
        case Phase::draining:
            phase_ = Phase::sending;
            break;
        case Phase::pausing:
            phase_ = Phase::idle;
            break;
        case Phase::awaiting:
            phase_ = Phase::polling;
            break;
        default:
            break;
    }
}

}  // namespace qd
