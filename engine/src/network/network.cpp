#include "network/network.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <random>
#include <utility>

#include "kwix/velmora_kwix_cloud.h"
#include "network/setting.h"
#include "sync/fork.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {
namespace network {
namespace {

constexpr uint64_t kDefaultSeed = 1;

// What a capped link did to recent video: running averages.
struct Congestion {
    double delay_ms = 0.0;
    double loss = 0.0;
};

struct UserNet {
    Link link[2];
    int64_t bandwidth_kbps[2] = {0, 0};
    Congestion congestion[2];
    int64_t down_from = 0;
    int64_t down_until = 0;  // down while down_from <= now < down_until
    bool unresponsive = false;
    int64_t unresponsive_since = 0;
};

struct State {
    Mutex mu;  // no other lock is taken under it
    std::map<std::string, UserNet> users GUARDED_BY(mu);
    std::map<std::string, int> qualities GUARDED_BY(mu);  // set explicitly, by user
    std::map<std::pair<std::string, std::string>, std::mt19937_64> pairs GUARDED_BY(mu);
    uint64_t seed GUARDED_BY(mu) = kDefaultSeed;
    int64_t timeout_ms GUARDED_BY(mu) = kDefaultTimeoutMs;

    // Engine threads consult it on every delivery; one may hold the lock at a fork().
    void BeforeFork() ACQUIRE(mu) { mu.Lock(); }
    void AfterForkInParent() RELEASE(mu) { mu.Unlock(); }
    void AfterForkInChild() RELEASE(mu) { mu.Unlock(); }
};

std::atomic<bool> g_active{false};
// Read on every command and every clock tick: atomics, not the lock.
std::atomic<double> g_command_loss{0.0};
std::atomic<int64_t> g_report_interval_ms{kDefaultReportIntervalMs};

State& Net() {
    static State* state = [] {
        auto* created = new State;  // leaked, see network/network.h
        ForkHandlersOf<State, &Net>::Register(ForkStage::kNetwork);
        return created;
    }();
    return *state;
}

// FNV-1a: stable across builds and runs, unlike std::hash.
uint64_t Fnv(const std::string& text, uint64_t h = 1469598103934665603ull) {
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::mt19937_64& PairStreamLocked(State& s, const std::string& from, const std::string& to) REQUIRES(s.mu) {
    auto key = std::make_pair(from, to);
    auto it = s.pairs.find(key);
    if (it == s.pairs.end()) {
        // The separator keeps ("ab", "c") and ("a", "bc") apart.
        const uint64_t mixed = Fnv(to, Fnv(std::string(1, '\0'), Fnv(from))) ^ (s.seed * 0x9E3779B97F4A7C15ull);
        it = s.pairs.emplace(std::move(key), std::mt19937_64(mixed)).first;
    }
    return it->second;
}

// Uniform in [0, 1), the same on every standard library.
double Unit(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * (1.0 / 9007199254740992.0); }

bool Draw(std::mt19937_64& rng, double share) {
    if (share <= 0.0) return false;
    if (share >= 1.0) return true;
    return Unit(rng) < share;
}

// Either of two independent chances.
double Either(double a, double b) { return 1.0 - (1.0 - a) * (1.0 - b); }

// False for NaN too.
bool IsShare(double share) { return share >= 0.0 && share <= 1.0; }

bool InRange(int64_t value, int64_t low, int64_t high) { return value >= low && value <= high; }

bool IsDown(const UserNet& u, int64_t now_ms) { return u.down_from <= now_ms && now_ms < u.down_until; }

const Link kNoFaults;

}  // namespace

bool IsValid(const Link& link) {
    return InRange(link.latency_ms, 0, kMaxDelayMs) && InRange(link.jitter_ms, 0, kMaxDelayMs) &&
           IsShare(link.audio_loss) && IsShare(link.video_loss) && IsShare(link.command_loss) &&
           IsShare(link.reorder);
}

namespace {

bool Change(const setting::Link& l, State& s, int64_t) EXCLUDES(s.mu) {
    if ((l.direction != kUplink && l.direction != kDownlink) || !IsValid(l.faults)) return false;
    MutexLock lock(s.mu);
    s.users[l.user_id].link[l.direction] = l.faults;
    g_active.store(true);
    return true;
}

// A drop under way is extended.
bool Change(const setting::Disconnect& d, State& s, int64_t now_ms) EXCLUDES(s.mu) {
    if (!InRange(d.duration_ms, 1, kMaxDropMs)) return false;
    MutexLock lock(s.mu);
    UserNet& u = s.users[d.user_id];
    if (!IsDown(u, now_ms)) u.down_from = now_ms;
    u.down_until = std::max(u.down_until, now_ms + d.duration_ms);
    g_active.store(true);
    return true;
}

bool Change(const setting::Unresponsive& r, State& s, int64_t now_ms) EXCLUDES(s.mu) {
    MutexLock lock(s.mu);
    UserNet& u = s.users[r.user_id];
    if (r.on && !u.unresponsive) u.unresponsive_since = now_ms;
    u.unresponsive = r.on;
    g_active.store(true);
    return true;
}

bool Change(const setting::Timeout& t, State& s, int64_t) EXCLUDES(s.mu) {
    if (!InRange(t.timeout_ms, 1, kMaxTimeoutMs)) return false;
    MutexLock lock(s.mu);
    s.timeout_ms = t.timeout_ms;
    g_active.store(true);
    return true;
}

// Every pair's generator starts over from the new seed.
bool Change(const setting::Seed& seed, State& s, int64_t) EXCLUDES(s.mu) {
    MutexLock lock(s.mu);
    s.seed = seed.seed;
    s.pairs.clear();
    return true;
}

bool Change(const setting::Forget& f, State& s, int64_t) EXCLUDES(s.mu) {
    MutexLock lock(s.mu);
    s.users.erase(f.user_id);
    s.qualities.erase(f.user_id);
    return true;
}

bool Change(const setting::Quality& q, State& s, int64_t) EXCLUDES(s.mu) {
    if (!InRange(q.quality, kwix::NETWORK_QUALITY_UNKNOWN, kwix::NETWORK_QUALITY_DOWN)) return false;
    MutexLock lock(s.mu);
    s.qualities[q.user_id] = q.quality;
    return true;
}

bool Change(const setting::CommandLoss& c, State&, int64_t) {
    if (!IsShare(c.share)) return false;
    g_command_loss.store(c.share);
    return true;
}

bool Change(const setting::Bandwidth& b, State& s, int64_t) EXCLUDES(s.mu) {
    if ((b.direction != kUplink && b.direction != kDownlink) || !InRange(b.kbps, 0, kMaxBandwidthKbps)) return false;
    MutexLock lock(s.mu);
    UserNet& u = s.users[b.user_id];
    u.bandwidth_kbps[b.direction] = b.kbps;
    u.congestion[b.direction] = Congestion();
    g_active.store(true);
    return true;
}

bool Change(const setting::ReportInterval& r, State&, int64_t) {
    if (!InRange(r.interval_ms, 1, kMaxReportIntervalMs)) return false;
    g_report_interval_ms.store(r.interval_ms);
    return true;
}

}  // namespace

bool Apply(const Setting& setting, int64_t now_ms) {
    State& s = Net();
    return std::visit([&](const auto& change) { return Change(change, s, now_ms); }, setting);
}

int64_t Timeout() {
    State& s = Net();
    MutexLock lock(s.mu);
    return s.timeout_ms;
}

int64_t ReportInterval() { return g_report_interval_ms.load(std::memory_order_relaxed); }

void Reset() {
    State& s = Net();
    MutexLock lock(s.mu);
    s.users.clear();
    s.qualities.clear();
    s.pairs.clear();
    s.seed = kDefaultSeed;
    s.timeout_ms = kDefaultTimeoutMs;
    g_command_loss.store(0.0);
    g_report_interval_ms.store(kDefaultReportIntervalMs);
    g_active.store(false);
}

bool Active() { return g_active.load(std::memory_order_relaxed); }

int64_t BandwidthKbps(const std::string& user_id, int direction) {
    if (!Active()) return 0;
    State& s = Net();
    MutexLock lock(s.mu);
    auto it = s.users.find(user_id);
    return it == s.users.end() ? 0 : it->second.bandwidth_kbps[direction & 1];
}

void NoteQueue(const std::string& user_id, int direction, int64_t delay_ms, bool lost) {
    // Over about the last 20 frames: a burst shows at once, and fades when the link clears.
    constexpr double kWeight = 0.05;
    State& s = Net();
    MutexLock lock(s.mu);
    auto it = s.users.find(user_id);
    if (it == s.users.end() || it->second.bandwidth_kbps[direction & 1] == 0) return;
    Congestion& c = it->second.congestion[direction & 1];
    c.loss += kWeight * ((lost ? 1.0 : 0.0) - c.loss);
    if (!lost) c.delay_ms += kWeight * (static_cast<double>(delay_ms) - c.delay_ms);
}

Presence PresenceOf(const std::string& user_id, int64_t now_ms) {
    Presence p;
    State& s = Net();
    MutexLock lock(s.mu);
    auto it = s.users.find(user_id);
    if (it == s.users.end()) return p;
    const UserNet& u = it->second;
    p.down = IsDown(u, now_ms);
    p.unresponsive = u.unresponsive;
    if (p.down && p.unresponsive) {
        p.silent_since_ms = std::min(u.down_from, u.unresponsive_since);
    } else if (p.down) {
        p.silent_since_ms = u.down_from;
    } else if (p.unresponsive) {
        p.silent_since_ms = u.unresponsive_since;
    }
    return p;
}

Passage Pass(const std::string& from, const std::string& to, Cargo cargo, bool unordered) {
    Passage p;
    State& s = Net();
    MutexLock lock(s.mu);
    auto sender = from.empty() ? s.users.end() : s.users.find(from);
    auto receiver = s.users.find(to);
    const Link& up = sender == s.users.end() ? kNoFaults : sender->second.link[kUplink];
    const Link& down = receiver == s.users.end() ? kNoFaults : receiver->second.link[kDownlink];
    double loss = 0.0;
    switch (cargo) {
        case Cargo::kAudio:
            loss = Either(up.audio_loss, down.audio_loss);
            break;
        case Cargo::kVideo:
            loss = Either(up.video_loss, down.video_loss);
            break;
        case Cargo::kCommand:
            loss = Either(g_command_loss.load(), Either(up.command_loss, down.command_loss));
            break;
        case Cargo::kEvent:
        case Cargo::kReliableCommand:
            break;
    }
    const int64_t jitter = up.jitter_ms + down.jitter_ms;
    const double reorder = unordered ? Either(up.reorder, down.reorder) : 0.0;
    if (loss <= 0.0 && jitter == 0 && reorder <= 0.0) {
        p.delay_ms = up.latency_ms + down.latency_ms;
        return p;  // nothing to draw: no generator is made or advanced
    }
    std::mt19937_64& rng = PairStreamLocked(s, from, to);
    if (Draw(rng, loss)) {
        p.lost = true;
        return p;
    }
    p.delay_ms = up.latency_ms + down.latency_ms;
    if (jitter > 0) p.delay_ms += static_cast<int64_t>(rng() % static_cast<uint64_t>(jitter + 1));
    p.late = Draw(rng, reorder);
    return p;
}

int DerivedQuality(const Link& uplink, const Link& downlink) {
    const double loss = std::max({Either(uplink.audio_loss, downlink.audio_loss),
                                  Either(uplink.video_loss, downlink.video_loss),
                                  Either(uplink.command_loss, downlink.command_loss)});
    const double delay = static_cast<double>(uplink.latency_ms + downlink.latency_ms) +
                         static_cast<double>(uplink.jitter_ms + downlink.jitter_ms) / 2.0;
    // Upper bounds (exclusive) of loss and delay for bad, poor, good and excellent.
    static const double kLoss[] = {0.20, 0.10, 0.05, 0.01};
    static const double kDelayMs[] = {800, 400, 200, 100};
    int step = 0;
    while (step < 4 && loss < kLoss[step] && delay < kDelayMs[step]) {
        ++step;
    }
    // step counts the classes passed: 4 is excellent, 0 very bad.
    return kwix::NETWORK_QUALITY_VERY_BAD - step;
}

int QualityOf(const std::string& user_id, int64_t now_ms, bool as_seen_by_itself) {
    State& s = Net();
    MutexLock lock(s.mu);
    auto set = s.qualities.find(user_id);
    if (set != s.qualities.end()) return set->second;
    auto it = s.users.find(user_id);
    if (it == s.users.end()) return kwix::NETWORK_QUALITY_EXCELLENT;
    const UserNet& u = it->second;
    if (IsDown(u, now_ms) || (u.unresponsive && !as_seen_by_itself)) return kwix::NETWORK_QUALITY_DOWN;
    // A capped link's queueing counts as its own delay and loss would.
    Link with[2] = {u.link[kUplink], u.link[kDownlink]};
    for (int d = 0; d < 2; ++d) {
        with[d].latency_ms += static_cast<int64_t>(u.congestion[d].delay_ms);
        with[d].video_loss = Either(with[d].video_loss, u.congestion[d].loss);
    }
    return DerivedQuality(with[kUplink], with[kDownlink]);
}

}  // namespace network
}  // namespace loopback
}  // namespace velmora
