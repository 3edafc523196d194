#include "media/codec_workers.h"

#include <new>

namespace velmora {
namespace loopback {

CodecWorkers& CodecWorkers::Instance() {
    static CodecWorkers* workers = [] {
        auto* created = new CodecWorkers;
        ForkHandlersOf<CodecWorkers, &CodecWorkers::Instance>::Register(ForkStage::kCodecWorkers);
        return created;
    }();
    return *workers;
}

// A batch under way keeps its turn: the fork waits for it to end.
void CodecWorkers::BeforeFork() { turn_mu_.Lock(); }
void CodecWorkers::AfterForkInParent() { turn_mu_.Unlock(); }

void CodecWorkers::AfterForkInChild() {
    // The workers stayed in the parent; their state is not read or destroyed, only made anew
    // (the old parts are leaked). The turn lock was held across the fork by this thread.
    new (&mu_) Mutex();
    new (&wake_) CondVar();
    new (&done_) CondVar();
    MutexLock lock(mu_);
    new (&batch_) std::shared_ptr<Batch>();
    new (&workers_) std::vector<std::thread>();
    generation_ = 0;
    started_ = false;
    turn_mu_.Unlock();
}

void CodecWorkers::Run(size_t count, const std::function<void(size_t)>& job, bool leave_a_core) {
    if (count == 0) return;
    MutexLock turn(turn_mu_);
    auto batch = std::make_shared<Batch>();
    batch->job = &job;
    batch->count = count;
    const unsigned cores = std::thread::hardware_concurrency();
    batch->helpers = !leave_a_core ? kMaxWorkers : cores > 2 ? cores - 2 : 0;
    {
        MutexLock lock(mu_);
        if (!started_ && count > 1) {
            started_ = true;
            const size_t wanted = cores > 1 ? cores - 1 : 0;
            for (size_t i = 0; i < wanted && i < kMaxWorkers; ++i) workers_.emplace_back([this] { Work(); });
        }
        if (!workers_.empty() && count > 1 && batch->helpers > 0) {
            batch_ = batch;
            ++generation_;
            wake_.NotifyAll();
        }
    }
    Drain(*batch);
    MutexLock lock(mu_);
    while (batch->finished != batch->count) done_.Wait(mu_);
    if (batch_ == batch) batch_.reset();
    if (batch->error) std::rethrow_exception(batch->error);
}

void CodecWorkers::Work() {
    ::pthread_setname_np(::pthread_self(), "velmora-codec");
    uint64_t seen = 0;
    for (;;) {
        std::shared_ptr<Batch> batch;
        {
            MutexLock lock(mu_);
            while (generation_ == seen) wake_.Wait(mu_);
            seen = generation_;
            batch = batch_;
        }
        if (batch && batch->joined.fetch_add(1) < batch->helpers) Drain(*batch);
    }
}

void CodecWorkers::Drain(Batch& batch) {
    for (;;) {
        const size_t i = batch.next.fetch_add(1);
        if (i >= batch.count) return;
        std::exception_ptr error;
        try {
            (*batch.job)(i);
        } catch (...) {
            error = std::current_exception();
        }
        MutexLock lock(mu_);
        if (error && !batch.error) batch.error = error;
        if (++batch.finished == batch.count) done_.NotifyAll();
    }
}

}  // namespace loopback
}  // namespace velmora
