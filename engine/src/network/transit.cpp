#include "network/transit.h"

namespace velmora {
namespace loopback {
namespace network {

void Links::Join(uint64_t serial, const std::string& user_id) {
    Endpoint& e = endpoints_[serial];
    e = Endpoint();
    e.user_id = user_id;
    order_.push_back(serial);
}

void Links::Leave(uint64_t serial) {
    if (endpoints_.erase(serial) == 0) return;
    order_.erase(std::find(order_.begin(), order_.end(), serial));
}

const Endpoint* Links::Find(uint64_t serial) const {
    auto it = endpoints_.find(serial);
    return it == endpoints_.end() ? nullptr : &it->second;
}

Endpoint* Links::FindMutable(uint64_t serial) {
    auto it = endpoints_.find(serial);
    return it == endpoints_.end() ? nullptr : &it->second;
}

bool Links::Gone(uint64_t serial) const {
    const Endpoint* e = Find(serial);
    return e != nullptr && e->timed_out;
}

bool Links::Silenced(uint64_t serial) const {
    const Endpoint* e = Find(serial);
    return e != nullptr && e->silenced;
}

bool Links::Reachable(uint64_t serial, bool* member) const {
    const Endpoint* e = Find(serial);
    *member = e != nullptr;
    return e != nullptr && !e->link_down && !e->timed_out;
}

Verdict Links::Judge(uint64_t from, uint64_t to, Cargo cargo, bool unordered, int64_t now_ms, bool on_tick) const {
    static const Endpoint kNobody;
    const Endpoint* sender = from != 0 ? Find(from) : nullptr;
    const Endpoint* found = Find(to);
    const Endpoint& receiver = found != nullptr ? *found : kNobody;
    Verdict v;
    v.due_ms = now_ms;
    v.receiver_cut = receiver.link_down || receiver.timed_out;
    const bool active = Active();
    // Without faults only the room-wide command loss draws; everything else passes untouched.
    if (!active && cargo != Cargo::kCommand && !v.receiver_cut) return v;
    const bool losable = cargo == Cargo::kCommand || cargo == Cargo::kAudio || cargo == Cargo::kVideo;
    if (active) {
        // A fault counts from the moment it is set, before the tick that tells the delegate;
        // on a tick the members' flags are just brought up to date.
        if (!v.receiver_cut && !on_tick) v.receiver_cut = PresenceOf(receiver.user_id, now_ms).down;
        if (sender != nullptr && cargo != Cargo::kEvent &&
            (sender->silenced || sender->timed_out || (!on_tick && PresenceOf(sender->user_id, now_ms).silent()))) {
            v.lost = true;
            return v;
        }
    }
    if (losable && v.receiver_cut) {
        v.lost = true;
        return v;
    }
    const Passage passage = Pass(sender != nullptr ? sender->user_id : std::string(), receiver.user_id, cargo, unordered);
    v.lost = passage.lost;
    v.late = passage.late;
    v.due_ms = now_ms + passage.delay_ms;
    return v;
}

Shaped Links::Shape(uint64_t serial, int direction, size_t bytes, int64_t at_ms) {
    Shaped shaped;
    Endpoint* e = FindMutable(serial);
    if (e == nullptr) return shaped;
    const int64_t kbps = BandwidthKbps(e->user_id, direction);
    int64_t& busy_until_us = e->busy_until_us[direction & 1];
    if (kbps <= 0) {
        busy_until_us = 0;
        return shaped;
    }
    const int64_t at_us = at_ms * 1000;
    const int64_t start_us = std::max(at_us, busy_until_us);
    if (start_us - at_us > kMaxQueueMs * 1000) {
        shaped.lost = true;
    } else {
        // bits / (kbit/s) = ms; in microseconds: bytes * 8 * 1000 / kbps.
        busy_until_us = start_us + static_cast<int64_t>(bytes) * 8000 / kbps;
        shaped.delay_ms = (busy_until_us - at_us) / 1000;
    }
    NoteQueue(e->user_id, direction, shaped.delay_ms, shaped.lost);
    return shaped;
}

bool Links::UpdateLink(uint64_t serial, int64_t now_ms, bool active, int64_t timeout_ms, LinkListener& listener) {
    Endpoint* m = FindMutable(serial);
    if (m == nullptr) return false;
    const Presence p = active ? PresenceOf(m->user_id, now_ms) : Presence{};
    if (p.down && !m->link_down) {
        m->link_down = true;
        listener.Dropped(serial);
    } else if (!p.down && m->link_down) {
        m->link_down = false;
        listener.Reconnected(serial);
    }
    if (p.silent() && !m->timed_out && now_ms - p.silent_since_ms >= timeout_ms) {
        listener.TimedOut(serial);
        m->timed_out = true;
    } else if (!p.silent() && m->timed_out) {
        m->timed_out = false;
        listener.Returned(serial);
    }
    const bool silenced = p.silent() || m->timed_out;
    if (m->silenced != silenced) {
        m->silenced = silenced;
        listener.Silenced(serial, silenced);
    }
    return m->link_down || m->silenced || m->timed_out;
}

}  // namespace network
}  // namespace loopback
}  // namespace velmora
