// Transit: what the simulated network does between the members of one room. The room owns
// one Transit and keeps to membership and fan-out: for every delivery it makes (an event
// about a member, a member's media or command, a mix) it asks its Transit, which decides the
// delivery's fate from the settings of network/network.h and either hands it to the room's
// outbox at once or holds it until its time.
//
// What Transit owns, and the room does not see:
// - the verdict per delivery (Judge): lost, delayed by the sender's uplink and the
//   receiver's downlink latency plus the jitter drawn for it, drawn "late" (an unordered
//   command that arrives after the next one), or waiting for a receiver that cannot be
//   reached now;
// - the held deliveries, in the order held, and each (sender, receiver) pair's backlog, so
//   that one pair's deliveries never overtake each other and jitter never reorders; held
//   ones go to the outbox on the first clock tick at or after their time (Tick);
// - the unordered command held back to arrive after the pair's next one, or kReorderWindowMs
//   after its own time when no next one comes;
// - each member's link state as the room last told it: its connection dropped, silent (what
//   it sends does not arrive), gone for the others after the time-out. A change is found on a
//   tick and told to the room (LinkListener), which turns it into callbacks: connection
//   states and OnError for the member, leaving and coming back for the others, muting in
//   the mixes.
//
// Events and reliable commands are never lost, only delayed; audio, video (with its SEI) and
// unreliable commands may be lost. A member's own events (its connection, OnEnterRoom, its
// local channels) do not travel: the room queues them itself.
//
// Threads: none of its own. The room calls it only under the room's lock, which guards all
// of it but Busy(), which the clock reads without that lock.
#ifndef VELMORA_ENGINE_NETWORK_TRANSIT_H
#define VELMORA_ENGINE_NETWORK_TRANSIT_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "network/network.h"

namespace velmora {
namespace loopback {
namespace network {

// An unordered command held back to arrive late waits at most this long for a next one.
constexpr int64_t kReorderWindowMs = 200;

// What the network does to one delivery.
struct Verdict {
    bool lost = false;
    bool receiver_cut = false;  // the receiver cannot be reached now: the delivery waits
    bool late = false;          // an unordered command drawn to arrive after the next one
    int64_t due_ms = 0;
};

// A member's link as the room's members experience it.
struct Endpoint {
    std::string user_id;
    bool link_down = false;  // its delegate heard that its connection dropped
    bool silenced = false;   // what it sends does not arrive (its audio is kept out of mixes)
    bool timed_out = false;  // the others heard it leave for silence
    int64_t busy_until_us[2] = {0, 0};  // by direction: when its capped link has carried what it holds
};

// What a capped link did to one video frame.
struct Shaped {
    bool lost = false;     // the link's buffer was full
    int64_t delay_ms = 0;  // the time it waited and took to go through
};

// Told by Tick, in member join order and for each member in this order, as its link changes.
class LinkListener {
public:
    virtual void Dropped(uint64_t serial) = 0;      // connected -> dropped
    virtual void Reconnected(uint64_t serial) = 0;  // dropped -> connected
    // Silent for the time-out: called while the member still counts as present, so that
    // what the room sends about it travels like any event of it.
    virtual void TimedOut(uint64_t serial) = 0;
    virtual void Returned(uint64_t serial) = 0;  // heard again after a time-out
    virtual void Silenced(uint64_t serial, bool silenced) = 0;

protected:
    ~LinkListener() = default;
};

// Non-template part: the links and the verdicts.
class Links {
public:
    void Join(uint64_t serial, const std::string& user_id);
    void Leave(uint64_t serial);
    const Endpoint* Find(uint64_t serial) const;
    // Gone for the others (timed out); false for a serial that is not a member.
    bool Gone(uint64_t serial) const;
    bool Silenced(uint64_t serial) const;
    // from 0: the service itself (a mix), which has no uplink. on_tick: the members' link
    // flags were just brought up to date, no need to ask the network again.
    Verdict Judge(uint64_t from, uint64_t to, Cargo cargo, bool unordered, int64_t now_ms, bool on_tick = false) const;
    // Brings the member's link flags up to date with the network's settings (active: any at
    // all) and tells the listener what changed. True while the member is in trouble.
    bool UpdateLink(uint64_t serial, int64_t now_ms, bool active, int64_t timeout_ms, LinkListener& listener);
    // A video frame of `bytes` through the member's link in that direction (kUplink once per
    // frame sent, kDownlink once per receiver), arriving at at_ms: without a cap it passes at
    // once; with one it waits behind what the link still carries, then takes its own size's
    // time, and is lost when it would wait beyond kMaxQueueMs. Told to the network's quality
    // (NoteQueue).
    Shaped Shape(uint64_t serial, int direction, size_t bytes, int64_t at_ms);
    // Receivers by serial: true when they can be reached now.
    bool Reachable(uint64_t serial, bool* member) const;
    const std::vector<uint64_t>& order() const { return order_; }

private:
    Endpoint* FindMutable(uint64_t serial);

    std::unordered_map<uint64_t, Endpoint> endpoints_;
    std::vector<uint64_t> order_;  // serials in join order
};

// Item: what the room delivers (moved in, moved out to the outbox).
template <typename Item>
class Transit {
public:
    using Outbox = std::vector<Item>;
    explicit Transit(Outbox* outbox) : outbox_(outbox) {}
    Transit(const Transit&) = delete;
    Transit& operator=(const Transit&) = delete;

    // Before anything travels from or to the member.
    void Join(uint64_t serial, const std::string& user_id) { links_.Join(serial, user_id); }
    // After the last delivery about the member was judged: its link and every command held
    // back from or for it go; its held deliveries go out still, those for it are dropped.
    void Leave(uint64_t serial) {
        ForgetSender(serial);
        for (auto it = late_.begin(); it != late_.end();) {
            it = it->first.first == serial ? late_.erase(it) : std::next(it);
        }
        links_.Leave(serial);
    }
    // The others heard the member leave: a command it held back is dropped.
    void ForgetSender(uint64_t serial) {
        for (auto it = late_.begin(); it != late_.end();) {
            it = it->first.second == serial ? late_.erase(it) : std::next(it);
        }
    }

    bool Gone(uint64_t serial) const { return links_.Gone(serial); }
    Shaped Shape(uint64_t serial, int direction, size_t bytes, int64_t at_ms) {
        return links_.Shape(serial, direction, bytes, at_ms);
    }
    bool Silenced(uint64_t serial) const { return links_.Silenced(serial); }
    // Set when a tick has network work to do; read without the owner's lock.
    bool Busy() const { return busy_.load(); }

    Verdict Judge(uint64_t from, uint64_t to, Cargo cargo, bool unordered, int64_t now_ms,
                  bool on_tick = false) const {
        return links_.Judge(from, to, cargo, unordered, now_ms, on_tick);
    }

    // A judged delivery that was not lost: into the outbox at once, or held behind the pair's
    // earlier deliveries until its time.
    void Deliver(uint64_t from, uint64_t to, const Verdict& verdict, int64_t now_ms, Item item) {
        const auto pair = std::make_pair(from, to);
        auto it = backlog_.find(pair);
        if (it == backlog_.end() && verdict.due_ms <= now_ms && !verdict.receiver_cut) {
            outbox_->push_back(std::move(item));
            return;
        }
        PairBacklog& backlog = backlog_[pair];
        // Behind the pair's earlier deliveries, so that jitter never reorders a pair.
        const int64_t due = std::max(verdict.due_ms, backlog.last_due_ms);
        backlog.last_due_ms = due;
        ++backlog.held;
        held_.push_back(Held{from, to, due, std::move(item)});
        busy_.store(true);
    }

    // Judge and deliver an event or a message; false when it was lost on the way.
    bool Route(uint64_t from, uint64_t to, Cargo cargo, int64_t now_ms, Item item) {
        const Verdict verdict = Judge(from, to, cargo, false, now_ms);
        if (verdict.lost) return false;
        Deliver(from, to, verdict, now_ms, std::move(item));
        return true;
    }

    // A judged command that was not lost. Drawn late, it waits for the pair's next command
    // (one at a time); otherwise it goes, followed by the one that waited for it.
    void DeliverCommand(uint64_t from, uint64_t to, const Verdict& verdict, int64_t now_ms, Item command) {
        const auto key = std::make_pair(to, from);
        auto waiting = late_.find(key);
        if (verdict.late && waiting == late_.end()) {
            late_.emplace(key, Late{verdict.due_ms + kReorderWindowMs, std::move(command)});
            busy_.store(true);
            return;
        }
        Deliver(from, to, verdict, now_ms, std::move(command));
        if (waiting != late_.end()) {
            Deliver(from, to, verdict, now_ms, std::move(waiting->second.item));
            late_.erase(waiting);
        }
    }

    // One clock tick: link changes (told to the listener, which may route deliveries), then
    // the commands whose reorder window closed, then the held deliveries that are due and
    // whose receivers can be reached.
    void Tick(int64_t now_ms, LinkListener& listener) {
        const bool active = Active();
        const int64_t timeout_ms = active ? Timeout() : 0;
        bool troubled = false;
        for (uint64_t serial : links_.order()) {
            troubled = links_.UpdateLink(serial, now_ms, active, timeout_ms, listener) || troubled;
            // The member's own commands waiting for a next one, by sender.
            for (auto it = late_.lower_bound({serial, 0}); it != late_.end() && it->first.first == serial;) {
                if (it->second.until_ms > now_ms) {
                    troubled = true;
                    ++it;
                    continue;
                }
                Verdict verdict;
                verdict.due_ms = now_ms;
                bool member = false;
                verdict.receiver_cut = !links_.Reachable(serial, &member);
                Deliver(it->first.second, serial, verdict, now_ms, std::move(it->second.item));
                it = late_.erase(it);
            }
        }
        if (!held_.empty()) ReleaseHeld(now_ms);
        busy_.store(troubled || !held_.empty());
    }

private:
    struct Held {
        uint64_t from = 0;
        uint64_t to = 0;
        int64_t due_ms = 0;
        Item item;
    };
    struct PairBacklog {
        size_t held = 0;
        int64_t last_due_ms = 0;
    };
    struct Late {
        int64_t until_ms = 0;
        Item item;
    };

    void ReleaseHeld(int64_t now_ms) {
        std::deque<Held> kept;
        for (Held& held : held_) {
            bool member = false;
            const bool reachable = links_.Reachable(held.to, &member);
            if (member && !(reachable && held.due_ms <= now_ms)) {
                kept.push_back(std::move(held));
                continue;
            }
            if (member) outbox_->push_back(std::move(held.item));  // a left receiver's are dropped
            auto backlog = backlog_.find(std::make_pair(held.from, held.to));
            if (backlog != backlog_.end() && --backlog->second.held == 0) backlog_.erase(backlog);
        }
        held_.swap(kept);
    }

    Outbox* const outbox_;
    Links links_;
    std::deque<Held> held_;                                          // in the order held
    std::map<std::pair<uint64_t, uint64_t>, PairBacklog> backlog_;  // (from, to) with deliveries held
    std::map<std::pair<uint64_t, uint64_t>, Late> late_;            // by (to, from)
    std::atomic<bool> busy_{false};
};

}  // namespace network
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_NETWORK_TRANSIT_H
