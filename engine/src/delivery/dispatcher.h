// One callback queue per session, delivered by the engine's shared workers (DeliveryPool):
// the only code that calls a delegate.
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
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kwix/velmora_kwix_cloud.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

class Dispatcher : public std::enable_shared_from_this<Dispatcher> {
public:
    using Call = std::function<void(kwix::KWIXCloudDelegate&)>;

    // A delegate of null gives a dispatcher that delivers nothing.
    static std::shared_ptr<Dispatcher> Start(kwix::KWIXCloudDelegate* delegate);

    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // `name` (a literal) names the callback in failure reports. Events are never dropped;
    // media frames beyond the queue limit push out the oldest queued media frame.
    void PostEvent(const char* name, Call call) EXCLUDES(mu_);
    void PostMedia(const char* name, Call call) EXCLUDES(mu_);
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

    uint64_t dropped() const;
    uint64_t delivered() const;

private:
    struct Item {
        const char* name = nullptr;
        bool media = false;
        Call call;
    };
    class RunningMark;
    class DirectMark;
    friend class DeliveryPool;

    // A batch of this dispatcher's callbacks, on a pool worker: at most kBatchItems, and no
    // new one after kBatchTime. True when more wait and the dispatcher stays scheduled (the
    // pool puts it back in its ready queue); false when it is no longer scheduled.
    static constexpr int kBatchItems = 32;
    static constexpr std::chrono::microseconds kBatchTime{2000};
    bool RunBatch() EXCLUDES(mu_);

    explicit Dispatcher(kwix::KWIXCloudDelegate* delegate);
    void Post(Item item) EXCLUDES(mu_);
    void Invoke(const Item& item);
    static Item TakeOldestMedia(std::deque<Item>& queue);
    bool IdleLocked() const REQUIRES(mu_);
    // True while one of `threads` is inside a CallHere.
    bool AnyDirectCallLocked(const std::vector<std::thread::id>& threads) const REQUIRES(mu_);

    kwix::KWIXCloudDelegate* const delegate_;

    // Guards everything below up to pulled_mu_.
    mutable Mutex mu_;
    CondVar idle_;  // WaitIdle and Stop: a callback ended
    std::deque<Item> queue_ GUARDED_BY(mu_);
    size_t queued_media_ GUARDED_BY(mu_) = 0;
    bool scheduled_ GUARDED_BY(mu_) = false;  // in the pool's ready queue or held by a worker
    std::thread::id running_on_ GUARDED_BY(mu_);  // the worker inside a queued callback, if any
    bool stopping_ GUARDED_BY(mu_) = false;
    bool gone_ GUARDED_BY(mu_) = false;  // a worker was ended inside a callback: delivery is over
    std::vector<std::thread::id> direct_threads_ GUARDED_BY(mu_);  // one entry per CallHere in progress

    Mutex pulled_mu_;
    std::deque<std::shared_ptr<const kwix::AudioFrame>> pulled_ GUARDED_BY(pulled_mu_);

    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> delivered_{0};
};

// Logs an exception that left a delegate method and writes it to stderr in one write(2).
void ReportCallbackFailure(const char* callback, const char* what);

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_DELIVERY_DISPATCHER_H
