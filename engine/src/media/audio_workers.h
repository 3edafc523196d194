// Helpers for a room's audio tick: the conversion and coding of many senders' audio shared
// between the ticking thread and a few helper threads, so that a room of hundreds of senders
// (a bot hearing a crowd through the room bus, where every remote sender's audio is coded
// here) is not limited to what one thread codes in real time.
//
// ForEach runs a body over an index range on the calling thread and the helpers and returns
// once every index ran: the caller's state is the helpers' for that long, and nothing else.
// Small ranges run on the calling thread alone. A body never waits for a callback (it only
// codes), so a caller holding the interpreter lock (a manual clock's Advance) may use it.
//
// The helpers are the process's, started with the first large range and never stopped;
// leaked, like the engine's other registries. fork(): the child starts with none, made
// again on first use (the parent's, and any range they were running, are left behind).
#ifndef VELMORA_ENGINE_MEDIA_AUDIO_WORKERS_H
#define VELMORA_ENGINE_MEDIA_AUDIO_WORKERS_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>

namespace velmora {
namespace loopback {

class AudioWorkers {
public:
    // Ranges shorter than this run on the calling thread: handing over costs more.
    static constexpr size_t kMinShared = 16;
    // Helpers besides the calling thread: one less than the processors, at most this many.
    static constexpr unsigned kMaxHelpers = 3;

    static AudioWorkers& Instance();

    void ForEach(size_t count, const std::function<void(size_t)>& body);

    AudioWorkers(const AudioWorkers&) = delete;
    AudioWorkers& operator=(const AudioWorkers&) = delete;

private:
    AudioWorkers() = default;
    static void ForkPrepare();
    static void ForkParent();
    static void ForkChild();
    void HelperLoop();
    // Runs indexes of the current range until none is left.
    void Run(const std::function<void(size_t)>& body, size_t count);

    std::mutex run_mu_;  // one range at a time (ticks of several rooms may run at once)
    std::mutex mu_;      // guards everything below but the atomics
    std::condition_variable start_;  // helpers: a new range
    std::condition_variable done_;   // the caller: its range ran to the end
    bool started_ = false;
    unsigned helpers_ = 0;
    uint64_t generation_ = 0;  // ranges handed out
    const std::function<void(size_t)>* body_ = nullptr;  // the open range, null when none
    size_t count_ = 0;
    unsigned joined_ = 0;          // helpers inside the open range
    std::exception_ptr error_;     // the first a body threw: the caller rethrows it
    std::atomic<size_t> next_{0};  // the next index to run
    std::atomic<size_t> finished_{0};
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_AUDIO_WORKERS_H
