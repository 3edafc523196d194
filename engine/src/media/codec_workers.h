// The codec work of the clock's ticks, spread over the machine's cores: within one room's
// tick every sender's audio is converted, coded and decoded on its own, so the senders are
// shared out between the clock thread and a few workers, and the tick ends when all are done.
// Encoding speech with libopus's default settings costs a few hundred microseconds per 20 ms
// frame; a 48-member room of speakers would otherwise put all of it on the clock thread
// (benchmarks/bench_media.py gives the cost per frame and the parallel tick).
//
// - Workers: one fewer than the machine's hardware threads (the clock thread is the other),
//   at most kMaxWorkers, none on one core (the caller then does every job). They start with the
//   first batch that has more than one job and stay for the process (leaked, like the engine's
//   registries: ticks may run while the process exits). A batch may ask to leave a core free
//   (Run's `leave_a_core`): fewer workers then take part.
// - Run is fork-join: it returns when every job has run, having run its own share. One batch
//   runs at a time; callers take turns. The first exception a job throws is rethrown by Run,
//   after every job has run.
// - fork(): the child has none of the parent's workers. The turn lock is held across the fork;
//   the child gets a new, empty set whose workers start with its first batch.
#ifndef VELMORA_ENGINE_MEDIA_CODEC_WORKERS_H
#define VELMORA_ENGINE_MEDIA_CODEC_WORKERS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sync/fork.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

class CodecWorkers {
public:
    static constexpr size_t kMaxWorkers = 3;

    static CodecWorkers& Instance();

    // Runs job(0) ... job(count - 1), spread over the workers and the calling thread. With
    // `leave_a_core`, the calling thread and the workers together take one core fewer than
    // the machine has (on two cores the caller runs every job): a process short of processor
    // time keeps a core for what delivers the results.
    void Run(size_t count, const std::function<void(size_t)>& job, bool leave_a_core = false)
        EXCLUDES(turn_mu_, mu_);

    CodecWorkers(const CodecWorkers&) = delete;
    CodecWorkers& operator=(const CodecWorkers&) = delete;

private:
    // One call of Run: workers that wake late hold on to it and find nothing left to take.
    struct Batch {
        const std::function<void(size_t)>* job = nullptr;
        size_t count = 0;
        size_t helpers = 0;  // workers that take part at most
        std::atomic<size_t> joined{0};
        std::atomic<size_t> next{0};
        size_t finished = 0;  // guarded by mu_
        std::exception_ptr error;  // guarded by mu_
    };

    friend class ForkHandlersOf<CodecWorkers, &CodecWorkers::Instance>;
    CodecWorkers() = default;
    void BeforeFork() ACQUIRE(turn_mu_);
    void AfterForkInParent() RELEASE(turn_mu_);
    void AfterForkInChild() RELEASE(turn_mu_);
    void Work() EXCLUDES(mu_);
    // Takes and runs the batch's jobs until none is left.
    void Drain(Batch& batch) EXCLUDES(mu_);

    // Lock order: turn_mu_ before mu_. The turn is held while the caller runs its share of
    // the jobs; mu_ never while a job runs.
    Mutex turn_mu_;  // one batch at a time
    Mutex mu_;
    CondVar wake_;
    CondVar done_;
    std::shared_ptr<Batch> batch_ GUARDED_BY(mu_);
    uint64_t generation_ GUARDED_BY(mu_) = 0;
    bool started_ GUARDED_BY(mu_) = false;
    std::vector<std::thread> workers_ GUARDED_BY(mu_);
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_CODEC_WORKERS_H
