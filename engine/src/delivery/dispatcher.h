// One callback queue per session, delivered by the engine's shared workers (DeliveryPool):
// the only code that calls a delegate.
//
// What waits for one receiver is bounded twice: media frames by count
// (faults::MediaQueueLimit), everything by bytes (faults::ReceiverQueueBytes, payloads plus a
// charge per callback), so that a receiver stuck in a callback while others send holds a
// bounded amount of memory whatever they send. Past a bound, media drop their oldest queued
// frame, unreliable commands are dropped, reliable ones are lost and the receiver hears
// OnMissCustomCmdMsg(sender, cmd_id, kCustomCmdLostInQueue, how many) in their place; events
// are never dropped (they are few and small: a member's arrival, a channel opening). Each
// drop is counted. Anything that does not fit first pushes out queued media, oldest first.
// Media also expire: a frame that waited faults::MediaMaxWaitMs is dropped when its turn
// comes, so a receiver that falls behind skips to fresh frames instead of hearing old ones
// late (and a busy process spends no callback on them). Audio a room made waits from its
// send (Parcel::since), so a clock that falls behind cannot age what it delivers either.
//
// Rules this class keeps, because the Python module depends on them:
// - Posting never waits for a callback: callers may hold the interpreter lock, which every
//   callback into Python needs.
// - No lock of the dispatcher is held while a delegate method runs.
// - A session's callbacks run one at a time and in the order they were posted: the
//   dispatcher is queued in the pool at most once and run by one worker at a time.
// - An exception leaving a delegate method is contained and reported; delivery goes on.
//   The forced unwinding of pthread_exit (CPython ends threads that ask for the interpreter
//   lock during shutdown) is let through; it ends this dispatcher's delivery (nothing more
//   is queued or run, as when a session's own thread ended), every state change is undone by
//   RAII so that Stop and WaitIdle still work afterwards, and the pool replaces the worker.
// - Stop inside the session's own callback (a session dropped by its own delegate) does not
//   wait for itself: the running callback is the last one, and the worker goes on with other
//   sessions once it returns.
// - Stop never waits in a cycle. Callbacks of several sessions that close each other's
//   sessions (each bot "shutting everything down" when a member leaves) would each wait for
//   another's callback, which waits, through the others, for the first: Stop waits for the
//   thread running this session's callback only when that thread does not already wait for
//   the caller's, directly or through other Stops. Where it does not wait, the one callback
//   that thread is running (the callback that is itself in Stop) may still be running when
//   Stop returns; it returns once the callers it waits for have ended, and no later callback
//   starts.
#ifndef VELMORA_ENGINE_DELIVERY_DISPATCHER_H
#define VELMORA_ENGINE_DELIVERY_DISPATCHER_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kwix/velmora_kwix_cloud.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

// error_code of OnMissCustomCmdMsg for reliable commands lost because what waited for the
// receiver was at its bound in bytes (faults::ReceiverQueueBytes): the receiver did not take
// its callbacks fast enough. `missed` counts them; their sequence numbers were used up.
constexpr uint32_t kCustomCmdLostInQueue = 2;

// Frames for one receiver: delivered (its callback made) or dropped (discarded unrun: a
// bound, the receiver stopping), and how far behind the receiver is. The session's audio
// counters are one.
struct DeliveryTally {
    std::atomic<uint64_t> delivered{0};
    std::atomic<uint64_t> dropped{0};
    // Of the dropped, frames never made: their receiver was behind (Behind) when they were due.
    std::atomic<uint64_t> shed{0};
    // Since when (steady clock, ns) the oldest media frame of the real clock queued for the
    // receiver has waited; 0 when none waits. Kept by the receiver's dispatcher.
    std::atomic<int64_t> oldest_waiting_ns{0};

    // True when the receiver's oldest queued frame has waited at least `threshold_ns`: a
    // frame made for it now would wait longer still, and likely expire unheard. A producer
    // with many receivers (a room's tick) makes no frame for such a receiver, so that a
    // process under more load than it can deliver spends its time on frames that are heard.
    bool Behind(int64_t now_ns, int64_t threshold_ns) const {
        const int64_t since = oldest_waiting_ns.load(std::memory_order_relaxed);
        return since != 0 && now_ns - since >= threshold_ns;
    }
};

class Dispatcher : public std::enable_shared_from_this<Dispatcher> {
public:
    using Call = std::function<void(kwix::KWIXCloudDelegate&)>;

    // Counts its frame once in a tally: delivered when the callback is made, dropped when it
    // goes unrun. Moves with the frame.
    class Receipt {
    public:
        Receipt() = default;
        explicit Receipt(std::shared_ptr<DeliveryTally> tally) : tally_(std::move(tally)) {}
        Receipt(Receipt&&) noexcept = default;
        Receipt& operator=(Receipt&& other) noexcept {
            if (this != &other) {
                Settle();
                tally_ = std::move(other.tally_);
            }
            return *this;
        }
        ~Receipt() { Settle(); }
        void Delivered() {
            if (tally_) ++tally_->delivered;
            tally_.reset();
        }

    private:
        void Settle() {
            if (tally_) ++tally_->dropped;
            tally_.reset();
        }
        std::shared_ptr<DeliveryTally> tally_;
    };

    // What a queued callback is, for the bound on what waits for a receiver.
    enum class Kind : uint8_t {
        kEvent,            // never dropped
        kMedia,            // the oldest queued frame goes first, past either bound
        kUnreliable,       // an unreliable command, an SEI message: dropped (and counted) past the byte bound
        kReliableCommand,  // lost past the byte bound, and the receiver told (kCustomCmdLostInQueue)
    };

    // One callback to queue. `bytes` is what it holds until it runs (a frame, a message).
    struct Parcel {
        Parcel() = default;
        Parcel(const char* name_, Kind kind_, Call call_, size_t bytes_ = 0)
            : name(name_), kind(kind_), call(std::move(call_)), bytes(bytes_) {}

        const char* name = nullptr;  // a literal: names the callback in failure reports
        Kind kind = Kind::kEvent;
        Call call;
        size_t bytes = 0;
        // Reliable commands: the sender and command id a notice of their loss names. Audio
        // frames: the sender (null for a mix).
        std::shared_ptr<const std::string> sender;
        int32_t cmd_id = 0;
        // An audio frame, delivered without a Call (a room's tick makes one per receiver and
        // sender): OnRemoteAudioReceived(sender, frame), or OnRemoteMixedAudioReceived.
        std::shared_ptr<const kwix::AudioFrame> audio;
        // Set: the frame is shared by several receivers and is delivered with this pts and
        // has_voice instead of its own.
        bool own_stamp = false;
        uint32_t pts = 0;
        bool has_voice = false;
        Receipt receipt;
        // Media only: dropped instead of delivered once it waited faults::MediaMaxWaitMs. Set
        // on the real clock; on the manual one time stands still for the sender, and so here.
        bool expires = false;
        // When its wait for expiry began, if before the post (steady clock; unset: the
        // post): audio a room made counts from its sender's send, so that what a late tick
        // made expires when it is too old to hear, not too long queued. How far the receiver
        // is behind (DeliveryTally) still counts from the post: what holds up new frames is
        // the queue, not the tick.
        std::chrono::steady_clock::time_point since;
    };
    static Parcel AudioParcel(std::shared_ptr<const kwix::AudioFrame> frame, std::shared_ptr<const std::string> sender,
                              std::shared_ptr<DeliveryTally> tally);

    // Each queued callback is charged this on top of its payload: what a queued 1 KiB command
    // costs in memory besides its bytes (the callable, its captures, the queue's slot).
    static constexpr size_t kChargePerCallback = 256;

    // A delegate of null gives a dispatcher that delivers nothing. `tally`, when given, is
    // kept told how long the oldest queued frame has waited, and its shed frames count as
    // dropped here too.
    static std::shared_ptr<Dispatcher> Start(kwix::KWIXCloudDelegate* delegate,
                                             std::shared_ptr<DeliveryTally> tally = nullptr);

    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    void Post(Parcel parcel) EXCLUDES(mu_);
    // The parcels in order, under one lock and with one hand-over to the pool (a room's tick
    // gives each receiver dozens of frames at once). Leaves `parcels` empty.
    void PostAll(std::vector<Parcel>& parcels) EXCLUDES(mu_);
    void PostEvent(const char* name, Call call) EXCLUDES(mu_) { Post(Parcel{name, Kind::kEvent, std::move(call)}); }
    void PostMedia(const char* name, Call call, size_t bytes = 0) EXCLUDES(mu_) {
        Post(Parcel{name, Kind::kMedia, std::move(call), bytes});
    }
    // Calls the delegate on the calling thread, contained like a queued callback.
    void CallHere(const char* name, const Call& call, bool media) EXCLUDES(mu_);

    // Audio waiting for KWIXCloud::GetAudioFrame, bounded like the media queue.
    // Keeps at most `limit` frames (and never more than the media queue limit); returns how
    // many old frames it dropped for this one.
    size_t PushPulledAudio(std::shared_ptr<const kwix::AudioFrame> frame, size_t limit) EXCLUDES(pulled_mu_);
    std::shared_ptr<const kwix::AudioFrame> PopPulledAudio() EXCLUDES(pulled_mu_);
    void ClearPulledAudio() EXCLUDES(pulled_mu_);

    // VLB_OK when idle, -1 on time-out (and at once inside this dispatcher's own queued
    // callback, which is the caller itself).
    int WaitIdle(int timeout_ms) EXCLUDES(mu_);

    // After Stop returns no callback of this dispatcher runs on any other thread, except when
    // called inside its own queued callback, which is the last one, and except a callback
    // that waits (in its own Stop, directly or through others) for the caller's thread: that
    // one, then the last, finishes after. Nothing queued runs after Stop.
    void Stop() EXCLUDES(mu_);

    // Media frames dropped past either bound (and shed, see DeliveryTally), and delivered.
    uint64_t dropped() const;
    uint64_t delivered() const;
    struct QueueCounters {
        uint64_t queued_bytes = 0;      // waiting now, charges included
        uint64_t unreliable_dropped = 0;  // unreliable commands and SEI messages past the byte bound
        uint64_t reliable_lost = 0;       // reliable commands past the byte bound (and notified)
    };
    QueueCounters queue_counters() const;

private:
    // The notice of reliable commands lost to the bound, queued after the last command of
    // that sender that fitted; later losses add to it until it runs or a command of that
    // sender fits after it.
    struct MissNotice {
        std::shared_ptr<const std::string> sender;
        int32_t cmd_id = 0;
        uint32_t missed = 0;
    };
    struct Item {
        Item() = default;
        explicit Item(Parcel parcel_, uint64_t seq_ = 0, std::shared_ptr<MissNotice> notice_ = nullptr)
            : parcel(std::move(parcel_)), seq(seq_), notice(std::move(notice_)) {}

        Parcel parcel;
        uint64_t seq = 0;  // order across the two queues
        std::shared_ptr<MissNotice> notice;
        std::chrono::steady_clock::time_point posted;  // set for parcels that expire
    };
    class RunningMark;
    class DirectMark;
    friend class DeliveryPool;

    // A batch of this dispatcher's callbacks, on a pool worker: at most kBatchItems, and no
    // new one after kBatchTime. `progress` counts each callback that ends. True when more wait
    // and the dispatcher stays scheduled (the pool puts it back in its ready queue); false
    // when it is no longer scheduled.
    static constexpr int kBatchItems = 32;
    static constexpr std::chrono::microseconds kBatchTime{2000};
    bool RunBatch(std::atomic<uint64_t>& progress) EXCLUDES(mu_);

    Dispatcher(kwix::KWIXCloudDelegate* delegate, std::shared_ptr<DeliveryTally> tally);
    // After any change to the front of media_.
    void NoteOldestLocked() REQUIRES(mu_);
    // When an expiring item's wait began: its post, or its parcel's `since` before that.
    static std::chrono::steady_clock::time_point WaitBegan(const Item& item);
    // Queues one parcel under mu_, posted at `now`; frames and callables it drops go to
    // `dropped`, to be freed once the lock is released. True when it queued something.
    bool AdmitLocked(Parcel& parcel, std::chrono::steady_clock::time_point now, std::vector<Item>* dropped)
        REQUIRES(mu_);
    void DropOldestMediaLocked(std::vector<Item>* dropped) REQUIRES(mu_);
    void LoseReliableLocked(Parcel& parcel, std::vector<Item>* dropped) REQUIRES(mu_);
    // The next item in posting order, media that waited too long dropped on the way; false
    // when none waits.
    bool TakeNextLocked(Item* out, std::vector<Item>* dropped) REQUIRES(mu_);
    void ClearLocked(std::vector<Item>* dropped) REQUIRES(mu_);
    void Invoke(Item& item);
    bool IdleLocked() const REQUIRES(mu_);
    // True while one of `threads` is inside a CallHere.
    bool AnyDirectCallLocked(const std::vector<std::thread::id>& threads) const REQUIRES(mu_);

    kwix::KWIXCloudDelegate* const delegate_;
    const std::shared_ptr<DeliveryTally> tally_;

    // Guards everything below up to pulled_mu_.
    mutable Mutex mu_;
    CondVar idle_;  // WaitIdle and Stop: a callback ended
    // Posting order is kept across both by seq: media apart so that the oldest frame is
    // dropped at once, whatever waits before it.
    std::deque<Item> events_ GUARDED_BY(mu_);  // events, commands, notices
    std::deque<Item> media_ GUARDED_BY(mu_);
    uint64_t next_seq_ GUARDED_BY(mu_) = 0;
    size_t queued_bytes_ GUARDED_BY(mu_) = 0;
    std::map<std::string, std::shared_ptr<MissNotice>> notices_ GUARDED_BY(mu_);  // by sender: still queued
    bool scheduled_ GUARDED_BY(mu_) = false;  // in the pool's ready queue or held by a worker
    std::thread::id running_on_ GUARDED_BY(mu_);  // the worker inside a queued callback, if any
    bool stopping_ GUARDED_BY(mu_) = false;
    bool gone_ GUARDED_BY(mu_) = false;  // a worker was ended inside a callback: delivery is over
    std::vector<std::thread::id> direct_threads_ GUARDED_BY(mu_);  // one entry per CallHere in progress

    Mutex pulled_mu_;
    std::deque<std::shared_ptr<const kwix::AudioFrame>> pulled_ GUARDED_BY(pulled_mu_);

    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> delivered_{0};
    std::atomic<uint64_t> unreliable_dropped_{0};
    std::atomic<uint64_t> reliable_lost_{0};
};

// Logs an exception that left a delegate method and writes it to stderr in one write(2).
void ReportCallbackFailure(const char* callback, const char* what);

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_DELIVERY_DISPATCHER_H
