#include "delivery/delivery_pool.h"

#include <cxxabi.h>
#include <pthread.h>
#include <unistd.h>

#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "delivery/dispatcher.h"
#include "log/log.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

namespace {

// Replaced only in a forked child, while it has a single thread.
std::atomic<DeliveryPool*> g_pool{nullptr};

void NameThisThread(const char* name) { ::pthread_setname_np(::pthread_self(), name); }

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

constexpr size_t DeliveryPool::kUsualWorkers;
constexpr std::chrono::milliseconds DeliveryPool::kStuckAfter;
constexpr std::chrono::milliseconds DeliveryPool::kRetireAfter;

DeliveryPool& DeliveryPool::Instance() {
    static DeliveryPool* first = [] {
        auto* created = new DeliveryPool;
        g_pool.store(created);
        ForkHandlersOf<DeliveryPool, &DeliveryPool::Instance>::Register(ForkStage::kDeliveryPool);
        return created;
    }();
    (void)first;
    return *g_pool.load(std::memory_order_acquire);
}

void DeliveryPool::BeforeFork() { mu_.Lock(); }
void DeliveryPool::AfterForkInParent() { mu_.Unlock(); }

void DeliveryPool::AfterForkInChild() {
    // The parent's pool stays as it was, locked and with its ready queue: its condition
    // variables count waiters that do not exist here, and its dispatchers are inherited.
    g_pool.store(new DeliveryPool, std::memory_order_release);
}

void DeliveryPool::ReportStartFailure(const char* when) {
    // An error line: it reaches stderr too, as "velmora: could not start ...".
    LogWrite(LogLevel::kError, std::string("could not start a thread to deliver callbacks ") + when +
                                   "; they wait until one starts (the process is out of threads or memory)");
}

bool DeliveryPool::StartWorkerLocked() {
    try {
        std::thread([this] { WorkerLoop(); }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    ++workers_;
    return true;
}

bool DeliveryPool::StartMonitorLocked() {
    try {
        std::thread([this] { MonitorLoop(); }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    monitor_started_ = true;
    return true;
}

// A worker's slot from its first lock to its end, however it ends: a forced unwinding leaves
// the worker without the pool's lock, a return with it.
class DeliveryPool::Enrolment {
public:
    Enrolment(DeliveryPool* pool, MutexLock* lock) REQUIRES(pool->mu_) : pool_(pool), lock_(lock) {
        pool_->enrolled_.emplace_back();
        slot_ = std::prev(pool_->enrolled_.end());
    }
    // Not checked: a worker ended inside a callback unwinds with the pool's lock given up,
    // and whether to take it back is known only at run time, which the analysis cannot follow.
    ~Enrolment() NO_THREAD_SAFETY_ANALYSIS {
        if (!lock_->held()) lock_->Lock();
        pool_->enrolled_.erase(slot_);
    }
    Enrolment(const Enrolment&) = delete;
    Enrolment& operator=(const Enrolment&) = delete;
    std::atomic<int64_t>& batch_since_ns() { return slot_->batch_since_ns; }

private:
    DeliveryPool* pool_;
    MutexLock* lock_;
    std::list<Worker>::iterator slot_;
};

size_t DeliveryPool::workers() const {
    MutexLock lock(mu_);
    return workers_;
}

int64_t DeliveryPool::IdleNs() const {
    MutexLock lock(mu_);
    return idle_ended_ns_ + static_cast<int64_t>(idle_) * NowNs() - idle_since_sum_ns_;
}

size_t DeliveryPool::HeldUpLocked(int64_t now_ns) const {
    const int64_t stuck_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(kStuckAfter).count();
    size_t held_up = 0;
    for (const Worker& w : enrolled_) {
        const int64_t since = w.batch_since_ns.load(std::memory_order_relaxed);
        if (since != 0 && now_ns - since >= stuck_ns) ++held_up;
    }
    return held_up;
}

bool DeliveryPool::MonitorNeededLocked() {
    if (!monitor_asleep_ || ready_.empty() || idle_ > 0) return false;
    monitor_asleep_ = false;
    return true;
}

void DeliveryPool::Schedule(std::shared_ptr<Dispatcher> dispatcher) {
    bool wake_worker = false;
    bool wake_monitor = false;
    bool started = true;
    {
        MutexLock lock(mu_);
        ready_.push_back(std::move(dispatcher));
        if (idle_ > 0) {
            wake_worker = true;
        } else if (workers_ < kUsualWorkers) {
            started = StartWorkerLocked();
        }
        if (!monitor_started_) {
            started = StartMonitorLocked() && started;
        } else {
            wake_monitor = MonitorNeededLocked();
        }
    }
    if (wake_worker) work_.NotifyOne();
    if (wake_monitor) monitor_.NotifyOne();
    if (!started) ReportStartFailure("for new work");
}

void DeliveryPool::WorkerLoop() {
    NameThisThread("velmora-deliver");
    MutexLock lock(mu_);
    Enrolment me(this, &lock);
    for (;;) {
        if (ready_.empty()) {
            ++idle_;
            const int64_t idle_since_ns = NowNs();
            idle_since_sum_ns_ += idle_since_ns;
            const auto deadline = std::chrono::steady_clock::now() + kRetireAfter;
            bool woken = true;
            while (ready_.empty()) {
                if (!work_.WaitUntil(mu_, deadline)) {
                    woken = !ready_.empty();
                    break;
                }
            }
            --idle_;
            idle_since_sum_ns_ -= idle_since_ns;
            idle_ended_ns_ += NowNs() - idle_since_ns;
            if (!woken) {
                --workers_;
                return;
            }
        }
        std::shared_ptr<Dispatcher> dispatcher = std::move(ready_.front());
        ready_.pop_front();
        // What stays behind now waits for this worker or another: if they all block, only
        // the monitor can help, also when this work was queued while a worker was idle.
        const bool wake_monitor = MonitorNeededLocked();
        me.batch_since_ns().store(NowNs(), std::memory_order_relaxed);
        lock.Unlock();
        if (wake_monitor) monitor_.NotifyOne();

        bool more = false;
        try {
            more = dispatcher->RunBatch(progress_);
        } catch (abi::__forced_unwind&) {
            // The thread is being ended inside a callback: another takes its place for the
            // work that waits (the dispatcher it was running has stopped delivering).
            bool started = true;
            {
                MutexLock relock(mu_);
                --workers_;
                if (!ready_.empty()) started = StartWorkerLocked();
            }
            if (!started) ReportStartFailure("in place of one that was ended");
            throw;
        }
        // A dispatcher that is done may be the last owner of itself: it is released here,
        // not under the pool's lock.
        if (!more) dispatcher.reset();
        lock.Lock();
        me.batch_since_ns().store(0, std::memory_order_relaxed);
        // Back at the tail, behind every other ready dispatcher.
        if (more) ready_.push_back(std::move(dispatcher));
        // A worker more than the callbacks held up need: this one goes (another is idle or
        // busy for whatever it left in the ready queue).
        if (workers_ > kUsualWorkers && workers_ - 1 - HeldUpLocked(NowNs()) >= kUsualWorkers) {
            --workers_;
            const bool wake = !ready_.empty() && idle_ > 0;
            lock.Unlock();
            if (wake) work_.NotifyOne();
            lock.Lock();  // the slot goes under the lock
            return;
        }
    }
}

void DeliveryPool::MonitorLoop() {
    NameThisThread("velmora-monitor");
    MutexLock lock(mu_);
    for (;;) {
        if (ready_.empty() || idle_ > 0) {
            monitor_asleep_ = true;
            while (monitor_asleep_) monitor_.Wait(mu_);
            continue;
        }
        const uint64_t seen = progress_.load(std::memory_order_relaxed);
        monitor_.WaitFor(mu_, kStuckAfter);
        if (ready_.empty() || idle_ > 0 || progress_.load(std::memory_order_relaxed) != seen) continue;
        // Every worker held up in a callback (or waiting that long for the interpreter lock):
        // one more for the work that waits. A worker still young in its batch may yet end it.
        if (HeldUpLocked(NowNs()) < enrolled_.size() || enrolled_.size() < workers_) continue;
        if (!StartWorkerLocked()) {
            lock.Unlock();
            ReportStartFailure("while callbacks block every other");
            lock.Lock();
        }
    }
}

}  // namespace loopback
}  // namespace velmora
