// Control API: live sessions, their journals and counters, the fault switches that are not
// the network's, and the one reset of them all.
#include <algorithm>
#include <chrono>
#include <string>

#include "control/control.h"
#include "core/clock.h"
#include "core/room.h"
#include "core/session.h"
#include "delivery/dispatcher.h"
#include "faults/faults.h"
#include "media/video_workers.h"
#include "network/network.h"
#include "velmora_loopback.h"

using velmora::loopback::CloudAddress;
using velmora::loopback::CopyOut;
using velmora::loopback::Session;
using velmora::loopback::SessionRegistry;
namespace faults = velmora::loopback::faults;

namespace {

std::shared_ptr<Session> Live(const void* session) { return velmora::loopback::LiveSession(session); }

}  // namespace

extern "C" {

/* ---- Sessions ---- */

size_t vlb_session_count(void) { return SessionRegistry::Instance().All().size(); }

void* vlb_session_at(size_t index) {
    auto all = SessionRegistry::Instance().All();
    return index < all.size() ? const_cast<void*>(CloudAddress(all[index].get())) : nullptr;
}

void* vlb_session_find(const char* user_id) {
    if (user_id == nullptr) return nullptr;
    auto all = SessionRegistry::Instance().All();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        std::string user;
        if ((*it)->Whereabouts(&user, nullptr) && user == user_id) return const_cast<void*>(CloudAddress(it->get()));
    }
    return nullptr;
}

void* vlb_session_delegate(void* session) {
    std::shared_ptr<Session> s = Live(session);
    return s ? static_cast<void*>(s->delegate()) : nullptr;
}

int64_t vlb_session_user(void* session, char* buffer, size_t capacity) {
    std::shared_ptr<Session> s = Live(session);
    std::string user;
    if (!s || !s->Whereabouts(&user, nullptr)) return VLB_ABSENT;
    return CopyOut(user, buffer, capacity);
}

int64_t vlb_session_room(void* session, char* buffer, size_t capacity) {
    std::shared_ptr<Session> s = Live(session);
    std::string room;
    if (!s || !s->Whereabouts(nullptr, &room)) return VLB_ABSENT;
    return CopyOut(room, buffer, capacity);
}

size_t vlb_journal_count(void* session) {
    std::shared_ptr<Session> s = Live(session);
    return s ? s->JournalCount() : 0;
}

int64_t vlb_journal_entry(void* session, size_t index, char* buffer, size_t capacity) {
    std::shared_ptr<Session> s = Live(session);
    std::string entry;
    if (!s || !s->JournalEntry(index, &entry)) return VLB_ABSENT;
    return CopyOut(entry, buffer, capacity);
}

void vlb_journal_full_payloads(int full) { faults::SetJournalFullPayloads(full != 0); }

void vlb_journal_clear(void* session) {
    std::shared_ptr<Session> s = Live(session);
    if (s) s->ClearJournal();
}

int vlb_wait_idle(void* session, int timeout_ms) {
    std::shared_ptr<Session> s = Live(session);
    if (!s) return VLB_ABSENT;
    // Video sent before the call is coded and queued first: its frames are callbacks to come.
    const auto start = std::chrono::steady_clock::now();
    if (!velmora::loopback::VideoWorkers::Instance().WaitIdle(timeout_ms)) return -1;
    const auto spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    return s->dispatcher().WaitIdle(std::max(0, timeout_ms - static_cast<int>(spent)));
}

uint64_t vlb_dropped_frames(void* session) {
    std::shared_ptr<Session> s = Live(session);
    return s ? s->dispatcher().dropped() : 0;
}

uint64_t vlb_delivered_frames(void* session) {
    std::shared_ptr<Session> s = Live(session);
    return s ? s->dispatcher().delivered() : 0;
}

// The header's numbers are the engine's own.
static_assert(VLB_MISS_LOST_IN_TRANSIT == velmora::loopback::kCustomCmdLostInTransit, "transit loss code");
static_assert(VLB_MISS_QUEUE_FULL == velmora::loopback::kCustomCmdLostInQueue, "queue loss code");
static_assert(VLB_QUEUE_CHARGE == velmora::loopback::Dispatcher::kChargePerCallback, "queue charge");

int vlb_queue_counters(void* session, uint64_t* queued_bytes, uint64_t* unreliable_dropped,
                       uint64_t* reliable_lost) {
    std::shared_ptr<Session> s = Live(session);
    if (!s) return VLB_ABSENT;
    const velmora::loopback::Dispatcher::QueueCounters c = s->dispatcher().queue_counters();
    if (queued_bytes != nullptr) *queued_bytes = c.queued_bytes;
    if (unreliable_dropped != nullptr) *unreliable_dropped = c.unreliable_dropped;
    if (reliable_lost != nullptr) *reliable_lost = c.reliable_lost;
    return VLB_OK;
}

void vlb_set_media_queue_limit(size_t frames) { faults::SetMediaQueueLimit(frames); }

void vlb_set_receiver_queue_bytes(size_t bytes) { faults::SetReceiverQueueBytes(bytes); }

int vlb_set_media_max_wait_ms(int64_t ms) {
    if (ms < 0) return VLB_INVALID;
    faults::SetMediaMaxWaitMs(ms);
    return VLB_OK;
}

/* ---- Faults and knobs ---- */

void vlb_fail_next_create(void) { faults::FailNextCreate(); }

void vlb_reset_faults(void) {
    faults::Reset();
    velmora::loopback::network::Reset();
    velmora::loopback::Clock::Instance().SetManual(false);
}

}  // extern "C"
