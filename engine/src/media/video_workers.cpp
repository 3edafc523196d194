#include "media/video_workers.h"

#include <chrono>
#include <deque>
#include <exception>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "log/log.h"
#include "sync/fork.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

class VideoWorkers::Strand {
public:
    struct Ticketed {
        uint64_t ticket;
        Job job;
    };
    std::deque<Ticketed> jobs;  // guarded by the pool's lock
    bool scheduled = false;     // in the ready queue or running
};

struct VideoWorkers::State {
    Mutex mu;  // also guards the strands' jobs; nothing is called out while it is held
    CondVar wake;
    CondVar done;
    std::deque<std::shared_ptr<Strand>> ready GUARDED_BY(mu);
    std::set<uint64_t> pending GUARDED_BY(mu);  // tickets of jobs queued or running
    uint64_t next_ticket GUARDED_BY(mu) = 1;
    std::vector<std::thread> threads GUARDED_BY(mu);

    static State& Current() { return *Instance().state_; }
    void BeforeFork() ACQUIRE(mu) { mu.Lock(); }
    void AfterForkInParent() RELEASE(mu) { mu.Unlock(); }
    // The parent's workers and the jobs they would run are not here: start over, leaving this
    // state (its lock held by the fork) untouched.
    void AfterForkInChild() { Instance().state_ = new State; }
};

VideoWorkers& VideoWorkers::Instance() {
    // Leaked: its threads may be inside a job while the process exits.
    static VideoWorkers* workers = [] {
        auto* created = new VideoWorkers;
        ForkHandlersOf<State, &State::Current>::Register(ForkStage::kVideoWorkers);
        return created;
    }();
    return *workers;
}

VideoWorkers::VideoWorkers() : state_(new State) {}

std::shared_ptr<VideoWorkers::Strand> VideoWorkers::NewStrand() { return std::make_shared<Strand>(); }

bool VideoWorkers::Post(const std::shared_ptr<Strand>& strand, Job job, bool wait) {
    State* s = state_;
    MutexLock lock(s->mu);
    if (wait) {
        // The strand is scheduled while it holds jobs, so a worker is bound to make room.
        while (strand->jobs.size() >= kMaxStrandBacklog) s->done.Wait(s->mu);
    }
    if (strand->jobs.size() >= kMaxStrandBacklog) return false;
    const uint64_t ticket = s->next_ticket++;
    strand->jobs.push_back(Strand::Ticketed{ticket, std::move(job)});
    s->pending.insert(ticket);
    if (!strand->scheduled) {
        strand->scheduled = true;
        s->ready.push_back(strand);
        s->wake.NotifyOne();
    }
    if (s->threads.empty()) {
        for (int i = 0; i < kVideoWorkers; ++i) s->threads.emplace_back([this, s] { Loop(s); });
        for (std::thread& t : s->threads) t.detach();
    }
    return true;
}

void VideoWorkers::Loop(State* s) {
    MutexLock lock(s->mu);
    for (;;) {
        while (s->ready.empty()) s->wake.Wait(s->mu);
        std::shared_ptr<Strand> strand = std::move(s->ready.front());
        s->ready.pop_front();
        Strand::Ticketed next = std::move(strand->jobs.front());
        strand->jobs.pop_front();
        s->done.NotifyAll();  // room in the strand's backlog for a Post that waits
        lock.Unlock();
        try {
            next.job();
        } catch (const std::exception& e) {
            // A codec that throws must not end the worker: the stream loses that frame.
            Logf(LogLevel::kError, "video worker: %s", e.what());
        }
        next.job = nullptr;  // what it holds goes before the lock is taken again
        lock.Lock();
        s->pending.erase(next.ticket);
        s->done.NotifyAll();
        // One job at a time, then the strand goes to the back: a busy stream does not starve
        // the others.
        if (strand->jobs.empty()) {
            strand->scheduled = false;
        } else {
            s->ready.push_back(std::move(strand));
            s->wake.NotifyOne();
        }
    }
}

bool VideoWorkers::WaitIdle(int timeout_ms) {
    State* s = state_;
    MutexLock lock(s->mu);
    const uint64_t last = s->next_ticket - 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!s->pending.empty() && *s->pending.begin() <= last) {
        if (!s->done.WaitUntil(s->mu, deadline)) return s->pending.empty() || *s->pending.begin() > last;
    }
    return true;
}

}  // namespace loopback
}  // namespace velmora
