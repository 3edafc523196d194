#include "faults/faults.h"

#include <atomic>

namespace velmora {
namespace loopback {
namespace faults {
namespace {

constexpr size_t kDefaultMediaQueueLimit = 256;

std::atomic<bool> g_fail_next_create{false};
std::atomic<size_t> g_media_queue_limit{kDefaultMediaQueueLimit};
std::atomic<bool> g_journal_full_payloads{false};

}  // namespace

void FailNextCreate() { g_fail_next_create.store(true); }
bool TakeCreateFailure() { return g_fail_next_create.exchange(false); }

void SetMediaQueueLimit(size_t frames) { g_media_queue_limit.store(frames); }
size_t MediaQueueLimit() { return g_media_queue_limit.load(); }

void SetJournalFullPayloads(bool full) { g_journal_full_payloads.store(full); }
bool JournalFullPayloads() { return g_journal_full_payloads.load(); }

void Reset() {
    g_fail_next_create.store(false);
    g_media_queue_limit.store(kDefaultMediaQueueLimit);
    g_journal_full_payloads.store(false);
}

}  // namespace faults
}  // namespace loopback
}  // namespace velmora
