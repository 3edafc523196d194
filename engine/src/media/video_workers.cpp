#include "media/video_workers.h"

#include "log/log.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

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
    std::mutex mu;  // guards everything below; nothing is called out while it is held
    std::condition_variable wake;
    std::condition_variable done;
    std::deque<std::shared_ptr<Strand>> ready;
    std::set<uint64_t> pending;  // tickets of jobs queued or running
    uint64_t next_ticket = 1;
    std::vector<std::thread> threads;
};

VideoWorkers& VideoWorkers::Instance() {
    // Leaked: its threads may be inside a job while the process exits.
    static VideoWorkers* workers = [] {
        auto* created = new VideoWorkers;
        ::pthread_atfork([] { Instance().state_->mu.lock(); }, [] { Instance().state_->mu.unlock(); },
                         [] { Instance().AfterForkInChild(); });
        return created;
    }();
    return *workers;
}

VideoWorkers::VideoWorkers() : state_(new State) {}

void VideoWorkers::AfterForkInChild() {
    // The parent's workers and the jobs they would run are not here: start over, leaving the
    // old state (its lock held by the fork) untouched.
    state_ = new State;
}

std::shared_ptr<VideoWorkers::Strand> VideoWorkers::NewStrand() { return std::make_shared<Strand>(); }

bool VideoWorkers::Post(const std::shared_ptr<Strand>& strand, Job job, bool wait) {
    State* s = state_;
    std::unique_lock<std::mutex> lock(s->mu);
    if (wait) {
        // The strand is scheduled while it holds jobs, so a worker is bound to make room.
        s->done.wait(lock, [&] { return strand->jobs.size() < kMaxStrandBacklog; });
    }
    if (strand->jobs.size() >= kMaxStrandBacklog) return false;
    const uint64_t ticket = s->next_ticket++;
    strand->jobs.push_back(Strand::Ticketed{ticket, std::move(job)});
    s->pending.insert(ticket);
    if (!strand->scheduled) {
        strand->scheduled = true;
        s->ready.push_back(strand);
        s->wake.notify_one();
    }
    if (s->threads.empty()) {
        for (int i = 0; i < kVideoWorkers; ++i) s->threads.emplace_back([this, s] { Loop(s); });
        for (std::thread& t : s->threads) t.detach();
    }
    return true;
}

void VideoWorkers::Loop(State* s) {
    std::unique_lock<std::mutex> lock(s->mu);
    for (;;) {
        s->wake.wait(lock, [s] { return !s->ready.empty(); });
        std::shared_ptr<Strand> strand = std::move(s->ready.front());
        s->ready.pop_front();
        Strand::Ticketed next = std::move(strand->jobs.front());
        strand->jobs.pop_front();
        s->done.notify_all();  // room in the strand's backlog for a Post that waits
        lock.unlock();
        try {
            next.job();
        } catch (const std::exception& e) {
            // A codec that throws must not end the worker: the stream loses that frame.
            Logf(LogLevel::kError, "video worker: %s", e.what());
        }
        next.job = nullptr;  // what it holds goes before the lock is taken again
        lock.lock();
        s->pending.erase(next.ticket);
        s->done.notify_all();
        // One job at a time, then the strand goes to the back: a busy stream does not starve
        // the others.
        if (strand->jobs.empty()) {
            strand->scheduled = false;
        } else {
            s->ready.push_back(std::move(strand));
            s->wake.notify_one();
        }
    }
}

bool VideoWorkers::WaitIdle(int timeout_ms) {
    State* s = state_;
    std::unique_lock<std::mutex> lock(s->mu);
    const uint64_t last = s->next_ticket - 1;
    return s->done.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [s, last] { return s->pending.empty() || *s->pending.begin() > last; });
}

}  // namespace loopback
}  // namespace velmora
