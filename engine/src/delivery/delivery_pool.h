// The engine threads that deliver callbacks: a few workers shared by every session's
// dispatcher, instead of one thread per session.
//
// A busy room posts tens of thousands of callbacks a second. With one thread per session,
// dozens of threads took turns at the interpreter lock and at their queues, and most of the
// time went to waking them. Here a dispatcher with work waits in one ready queue; a worker
// takes it, runs a bounded batch of its callbacks and, when more wait, puts it back at the
// tail, so busy sessions share the workers fairly and one wake-up serves many callbacks.
//
// - A dispatcher is in the ready queue at most once and runs on at most one worker at a time
//   (Dispatcher keeps that), so each session's callbacks keep their order.
// - A callback that blocks must not hold up other sessions, however many block: a monitor
//   thread watches for work that waits while no worker is idle, no callback has ended for
//   kStuckAfter and every worker has been in its batch for that long, and then starts another
//   worker. So the pool grows by about one worker per blocked callback, with no ceiling: a
//   blocked callback holds its thread whatever the pool does, and a ceiling only turned many
//   blocked sessions into all sessions blocked. Workers that only wait for the interpreter
//   lock look blocked too (a thread that holds it for long stalls every worker); the workers
//   started then are bounded by the sessions that have work (each runs on one worker at a
//   time) and go as soon as they are not needed.
// - Workers beyond the usual one exist only for blocked callbacks: one that ends a batch
//   while more than kUsualWorkers others are not held up in a callback ends too. More
//   workers than that only take turns at the interpreter lock: under load they made every
//   callback a hand-over of the lock between threads, and the producers of the work (the
//   engine clock) got a smaller share of the processors. Every worker also ends after
//   kRetireAfter without work (between callbacks, never inside one), which gives back its
//   Python thread state.
// - A worker ended by a forced unwinding (pthread_exit, which the interpreter does to threads
//   that ask for its lock during shutdown) ends the delivery of the dispatcher it was running
//   (Dispatcher marks it gone) and is replaced if other work waits.
// - fork(): the child has none of the parent's threads. The pool's lock is held across the
//   fork; the child gets a new, empty pool (the parent's is left untouched, its dispatchers
//   belong to inherited sessions that never deliver) whose workers start with the first post.
// - Leaked, like the engine's registries: workers may run while the process exits.
#ifndef VELMORA_ENGINE_DELIVERY_DELIVERY_POOL_H
#define VELMORA_ENGINE_DELIVERY_DELIVERY_POOL_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>

#include "sync/fork.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

class Dispatcher;

class DeliveryPool {
public:
    // Workers kept while there is work. More do not help callbacks into Python, which take
    // turns at the interpreter lock. Even a second one costs: each callback's end handed the
    // lock to the other worker, a wake-up and a sleep each time (in an 80-member room, 30,000
    // context switches a second, a quarter of the delivery threads' time in the kernel, and
    // a quarter less throughput). A callback that holds its worker up gets another from the
    // monitor.
    static constexpr size_t kUsualWorkers = 1;
    // A worker in one batch this long, while no callback ended meanwhile, is held up. Longer
    // than the interpreter's switch interval (5 ms), which a worker may wait for its lock.
    static constexpr std::chrono::milliseconds kStuckAfter{16};
    static constexpr std::chrono::milliseconds kRetireAfter{1000};

    static DeliveryPool& Instance();

    // Queues a dispatcher that has work and is not queued or running (Dispatcher checks).
    void Schedule(std::shared_ptr<Dispatcher> dispatcher) EXCLUDES(mu_);

    DeliveryPool(const DeliveryPool&) = delete;
    DeliveryPool& operator=(const DeliveryPool&) = delete;

    // Workers alive now, for tests and benchmarks.
    size_t workers() const;
    // Time the workers have spent waiting for work, all together (steady clock ns): over a
    // span, how much of it the delivery had to spare.
    int64_t IdleNs() const EXCLUDES(mu_);

private:
    friend class ForkHandlersOf<DeliveryPool, &DeliveryPool::Instance>;
    // One per live worker: when its current batch began, 0 between batches.
    struct Worker {
        std::atomic<int64_t> batch_since_ns{0};
    };
    class Enrolment;

    DeliveryPool() = default;
    void BeforeFork() ACQUIRE(mu_);
    void AfterForkInParent() RELEASE(mu_);
    // The child's pool is a new one; this one stays locked.
    void AfterForkInChild();

    void WorkerLoop() EXCLUDES(mu_);
    void MonitorLoop() EXCLUDES(mu_);
    // False when no thread could be made; the caller reports it once the lock is released.
    bool StartWorkerLocked() REQUIRES(mu_);
    bool StartMonitorLocked() REQUIRES(mu_);
    // Marks the monitor awake when work waits with no worker idle; true if it must be woken.
    bool MonitorNeededLocked() REQUIRES(mu_);
    // Workers whose batch began at least kStuckAfter before `now_ns`.
    size_t HeldUpLocked(int64_t now_ns) const REQUIRES(mu_);
    // Logged and written to stderr: without a thread, callbacks wait until one starts.
    static void ReportStartFailure(const char* when);

    mutable Mutex mu_;  // guards everything below up to progress_
    CondVar work_;     // idle workers: a dispatcher is ready
    CondVar monitor_;  // the monitor: work waits and nobody is idle
    std::deque<std::shared_ptr<Dispatcher>> ready_ GUARDED_BY(mu_);
    std::list<Worker> enrolled_ GUARDED_BY(mu_);  // the live workers' slots
    size_t workers_ GUARDED_BY(mu_) = 0;  // live workers (started, some maybe not yet enrolled)
    size_t idle_ GUARDED_BY(mu_) = 0;     // workers waiting for work
    int64_t idle_ended_ns_ GUARDED_BY(mu_) = 0;  // the time of the waits that ended
    int64_t idle_since_sum_ns_ GUARDED_BY(mu_) = 0;  // when each of the waits under way began, summed
    bool monitor_started_ GUARDED_BY(mu_) = false;
    bool monitor_asleep_ GUARDED_BY(mu_) = false;  // waiting until work waits with nobody idle

    // Callbacks ended: the monitor's sign that the workers are not all stuck.
    std::atomic<uint64_t> progress_{0};
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_DELIVERY_DELIVERY_POOL_H
