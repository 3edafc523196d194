#include "faults/faults.h"

#include <atomic>

namespace velmora {
namespace loopback {
namespace faults {
namespace {

constexpr size_t kDefaultMediaQueueLimit = 2048;

std::atomic<bool> g_fail_next_create{false};
std::atomic<size_t> g_media_queue_limit{kDefaultMediaQueueLimit};
std::atomic<size_t> g_receiver_queue_bytes{kDefaultReceiverQueueBytes};
std::atomic<int64_t> g_media_max_wait_ms{kDefaultMediaMaxWaitMs};
std::atomic<bool> g_journal_full_payloads{false};

}  // namespace

void FailNextCreate() { g_fail_next_create.store(true); }
bool TakeCreateFailure() { return g_fail_next_create.exchange(false); }

void SetMediaQueueLimit(size_t frames) { g_media_queue_limit.store(frames); }
size_t MediaQueueLimit() { return g_media_queue_limit.load(); }

void SetReceiverQueueBytes(size_t bytes) { g_receiver_queue_bytes.store(bytes); }
size_t ReceiverQueueBytes() { return g_receiver_queue_bytes.load(); }

void SetMediaMaxWaitMs(int64_t ms) { g_media_max_wait_ms.store(ms); }
int64_t MediaMaxWaitMs() { return g_media_max_wait_ms.load(); }

void SetJournalFullPayloads(bool full) { g_journal_full_payloads.store(full); }
bool JournalFullPayloads() { return g_journal_full_payloads.load(); }

void Reset() {
    g_fail_next_create.store(false);
    g_media_queue_limit.store(kDefaultMediaQueueLimit);
    g_receiver_queue_bytes.store(kDefaultReceiverQueueBytes);
    g_media_max_wait_ms.store(kDefaultMediaMaxWaitMs);
    g_journal_full_payloads.store(false);
}

}  // namespace faults
}  // namespace loopback
}  // namespace velmora
