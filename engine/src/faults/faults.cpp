#include "faults/faults.h"

#include <pthread.h>

#include <atomic>
#include <map>
#include <mutex>

namespace velmora {
namespace loopback {
namespace faults {
namespace {

constexpr size_t kDefaultMediaQueueLimit = 256;
constexpr int kDefaultNetworkQualityIntervalMs = 2000;

std::atomic<bool> g_fail_next_create{false};
std::atomic<double> g_custom_cmd_loss{0.0};
std::atomic<size_t> g_media_queue_limit{kDefaultMediaQueueLimit};
std::atomic<int> g_network_quality_interval_ms{kDefaultNetworkQualityIntervalMs};
std::atomic<bool> g_journal_full_payloads{false};

struct QualityTable {
    std::mutex mu;  // guards by_user
    std::map<std::string, int> by_user;
};

QualityTable& Qualities() {
    static QualityTable* table = [] {
        auto* created = new QualityTable;  // leaked, see faults/faults.h
        // Engine threads read the table on every network quality tick; one may hold the lock
        // at the moment of a fork(), so it is held across the fork and found free in the child.
        ::pthread_atfork([] { Qualities().mu.lock(); }, [] { Qualities().mu.unlock(); },
                         [] { Qualities().mu.unlock(); });
        return created;
    }();
    return *table;
}

}  // namespace

void FailNextCreate() { g_fail_next_create.store(true); }
bool TakeCreateFailure() { return g_fail_next_create.exchange(false); }

void SetCustomCmdLoss(double share) { g_custom_cmd_loss.store(share); }

double CustomCmdLoss() { return g_custom_cmd_loss.load(); }

void SetNetworkQuality(const std::string& user_id, int quality) {
    QualityTable& t = Qualities();
    std::lock_guard<std::mutex> lock(t.mu);
    t.by_user[user_id] = quality;
}

bool ExplicitNetworkQuality(const std::string& user_id, int* quality) {
    QualityTable& t = Qualities();
    std::lock_guard<std::mutex> lock(t.mu);
    auto it = t.by_user.find(user_id);
    if (it == t.by_user.end()) return false;
    *quality = it->second;
    return true;
}

void ForgetNetworkQuality(const std::string& user_id) {
    QualityTable& t = Qualities();
    std::lock_guard<std::mutex> lock(t.mu);
    t.by_user.erase(user_id);
}

void SetNetworkQualityInterval(int interval_ms) {
    // A zero or negative interval would make the engine threads spin.
    g_network_quality_interval_ms.store(interval_ms < 1 ? 1 : interval_ms);
}

std::chrono::milliseconds NetworkQualityInterval() {
    return std::chrono::milliseconds(g_network_quality_interval_ms.load());
}

void SetMediaQueueLimit(size_t frames) { g_media_queue_limit.store(frames); }
size_t MediaQueueLimit() { return g_media_queue_limit.load(); }

void SetJournalFullPayloads(bool full) { g_journal_full_payloads.store(full); }
bool JournalFullPayloads() { return g_journal_full_payloads.load(); }

void Reset() {
    g_fail_next_create.store(false);
    g_custom_cmd_loss.store(0.0);
    g_media_queue_limit.store(kDefaultMediaQueueLimit);
    g_network_quality_interval_ms.store(kDefaultNetworkQualityIntervalMs);
    g_journal_full_payloads.store(false);
    QualityTable& t = Qualities();
    std::lock_guard<std::mutex> lock(t.mu);
    t.by_user.clear();
}

}  // namespace faults
}  // namespace loopback
}  // namespace velmora
