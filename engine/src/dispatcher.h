// One engine thread and one callback queue per session: the only code that calls a delegate.
//
// Rules this class keeps, because the Python module depends on them:
// - Posting never waits for a callback: callers may hold the interpreter lock, which every
//   callback into Python needs.
// - No lock of the dispatcher is held while a delegate method runs.
// - An exception leaving a delegate method is contained and reported; the thread goes on.
//   The forced unwinding of pthread_exit (CPython ends threads that ask for the interpreter
//   lock during shutdown) is let through, and every state change is undone by RAII so that
//   Stop still works afterwards.
// - Stop on the dispatcher's own thread (a session dropped inside its own callback) does not
//   join itself: the thread finishes the running callback and then ends by itself.
// - Stop never waits in a cycle. Callbacks of several sessions that close each other's
//   sessions (each bot "shutting everything down" when a member leaves) would each wait for
//   another's thread, which waits, through the others, for the first: Stop waits for a
//   thread only when that thread does not already wait for the caller's, directly or
//   through other Stops. Where it does not wait, the one callback that thread is running
//   (the callback that is itself in Stop) may still be running when Stop returns; it
//   returns once the callers it waits for have ended, and no later callback starts.
#ifndef VELMORA_ENGINE_DISPATCHER_H
#define VELMORA_ENGINE_DISPATCHER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kwix/velmora_kwix_cloud.h"

namespace velmora {
namespace loopback {

class Dispatcher : public std::enable_shared_from_this<Dispatcher> {
public:
    using Call = std::function<void(kwix::KWIXCloudDelegate&)>;

    // A delegate of null gives a dispatcher without a thread that delivers nothing.
    static std::shared_ptr<Dispatcher> Start(kwix::KWIXCloudDelegate* delegate);
    ~Dispatcher();

    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // `name` (a literal) names the callback in failure reports. Events are never dropped;
    // media frames beyond the queue limit push out the oldest queued media frame.
    void PostEvent(const char* name, Call call);
    void PostMedia(const char* name, Call call);
    // Calls the delegate on the calling thread, contained like a queued callback.
    void CallHere(const char* name, const Call& call, bool media);

    // Audio waiting for KWIXCloud::GetAudioFrame, bounded like the media queue.
    // Keeps at most `limit` frames (and never more than the media queue limit); returns how
    // many old frames it dropped for this one.
    size_t PushPulledAudio(std::shared_ptr<const kwix::AudioFrame> frame, size_t limit);
    std::shared_ptr<const kwix::AudioFrame> PopPulledAudio();
    void ClearPulledAudio();


    // VLB_OK when idle, -1 on time-out (and at once on the dispatcher's own thread, where
    // the running callback is the caller itself).
    int WaitIdle(int timeout_ms);

    // After Stop returns no callback of this dispatcher runs on any other thread, except when
    // called on its own thread, where the running callback is the last one, and except a
    // callback that waits (in its own Stop, directly or through others) for the caller's
    // thread: that one, then the last, finishes after. Nothing queued runs after Stop.
    void Stop();

    bool OnOwnThread() const;
    uint64_t dropped() const;
    uint64_t delivered() const;
    kwix::KWIXCloudDelegate* delegate() const { return delegate_; }

private:
    struct Item {
        const char* name = nullptr;
        bool media = false;
        Call call;
    };
    class RunningMark;
    class DirectMark;

    explicit Dispatcher(kwix::KWIXCloudDelegate* delegate);
    void Post(Item item);
    void Loop();
    void Invoke(const Item& item);
    static Item TakeOldestMedia(std::deque<Item>& queue);

    kwix::KWIXCloudDelegate* const delegate_;

    // Guards everything below up to pulled_mu_.
    mutable std::mutex mu_;
    std::condition_variable wake_;  // the thread: work or a stop
    std::condition_variable idle_;  // WaitIdle and Stop: a callback ended
    std::deque<Item> queue_;
    size_t queued_media_ = 0;
    bool running_ = false;       // the engine thread is inside a delegate call
    bool stopping_ = false;
    bool thread_gone_ = false;   // the thread has ended, also by forced unwinding
    std::vector<std::thread::id> direct_threads_;  // one entry per CallHere in progress
    std::thread thread_;
    std::thread::id thread_id_;

    std::mutex pulled_mu_;  // guards pulled_
    std::deque<std::shared_ptr<const kwix::AudioFrame>> pulled_;

    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> delivered_{0};
};

// Logs an exception that left a delegate method and writes it to stderr in one write(2).
void ReportCallbackFailure(const char* callback, const char* what);

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_DISPATCHER_H
