// The engine's video workers: the threads that encode, decode and convert video, so that
// none of it runs on the engine clock's thread (video never delays audio) nor on a caller's.
//
// Work comes in strands, one per sending stream: a strand's jobs run in the order posted,
// one at a time, so a stream's encoder and decoder need no lock of their own; different
// strands run side by side on kVideoWorkers threads. A strand holds at most
// kMaxStrandBacklog jobs: Post refuses more (the stream skips that frame, as an encoder that
// cannot keep up does), or waits for room when asked to (on the manual clock, where time
// waits for the work, so that a run does not depend on how fast the machine is).
//
// The workers are the process's, started with the first job and never stopped; the pool
// owns them. A job never waits for a callback (it only posts to dispatchers), so a caller
// holding the interpreter lock may wait for the pool (WaitIdle).
//
// fork(): the child starts with no workers and nothing queued; the parent's jobs are left
// behind (their memory is leaked in the child) and the first new job starts new workers.
#ifndef VELMORA_ENGINE_MEDIA_VIDEO_WORKERS_H
#define VELMORA_ENGINE_MEDIA_VIDEO_WORKERS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace velmora {
namespace loopback {

constexpr int kVideoWorkers = 2;
constexpr size_t kMaxStrandBacklog = 8;

class VideoWorkers {
public:
    using Job = std::function<void()>;
    class Strand;

    static VideoWorkers& Instance();

    std::shared_ptr<Strand> NewStrand();
    // False (the job dropped unrun) when the strand's backlog is full and `wait` is false.
    bool Post(const std::shared_ptr<Strand>& strand, Job job, bool wait);
    // Waits until every job posted before the call has run: true, or false after timeout_ms.
    bool WaitIdle(int timeout_ms);

private:
    struct State;
    VideoWorkers();
    void Loop(State* state);

    State* state_;
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_VIDEO_WORKERS_H
