#include "media/audio_workers.h"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>

#include "log/log.h"

namespace velmora {
namespace loopback {

namespace {

// Replaced only in a forked child, while it has a single thread.
std::atomic<AudioWorkers*> g_workers{nullptr};

}  // namespace

constexpr size_t AudioWorkers::kMinShared;
constexpr unsigned AudioWorkers::kMaxHelpers;

AudioWorkers& AudioWorkers::Instance() {
    static AudioWorkers* first = [] {
        auto* created = new AudioWorkers;
        g_workers.store(created);
        ::pthread_atfork(ForkPrepare, ForkParent, ForkChild);
        return created;
    }();
    (void)first;
    return *g_workers.load(std::memory_order_acquire);
}

void AudioWorkers::ForkPrepare() {
    AudioWorkers& w = Instance();
    w.run_mu_.lock();
    w.mu_.lock();
}

void AudioWorkers::ForkParent() {
    AudioWorkers& w = Instance();
    w.mu_.unlock();
    w.run_mu_.unlock();
}

void AudioWorkers::ForkChild() {
    // The parent's helpers do not exist here; their instance stays locked, and leaked.
    g_workers.store(new AudioWorkers, std::memory_order_release);
}

void AudioWorkers::Run(const std::function<void(size_t)>& body, size_t count) {
    for (;;) {
        const size_t i = next_.fetch_add(1, std::memory_order_relaxed);
        if (i >= count) return;
        try {
            body(i);
        } catch (...) {
            std::lock_guard<std::mutex> lock(mu_);
            if (!error_) error_ = std::current_exception();
        }
        finished_.fetch_add(1, std::memory_order_relaxed);
    }
}

void AudioWorkers::ForEach(size_t count, const std::function<void(size_t)>& body) {
    if (count < kMinShared) {
        for (size_t i = 0; i < count; ++i) body(i);
        return;
    }
    std::lock_guard<std::mutex> one_range(run_mu_);
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!started_) {
            started_ = true;
            const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
            const unsigned wanted = std::min(kMaxHelpers, processors - 1);
            for (unsigned i = 0; i < wanted; ++i) {
                try {
                    std::thread([this] { HelperLoop(); }).detach();
                    ++helpers_;
                } catch (const std::system_error&) {
                    LogWrite(LogLevel::kWarning, "audio: could not start a helper thread; fewer share the coding");
                    break;
                }
            }
        }
        body_ = &body;
        count_ = count;
        next_.store(0, std::memory_order_relaxed);
        finished_.store(0, std::memory_order_relaxed);
        error_ = nullptr;
        ++generation_;
    }
    start_.notify_all();
    Run(body, count);
    std::exception_ptr error;
    {
        std::unique_lock<std::mutex> lock(mu_);
        done_.wait(lock, [this, count] { return finished_.load(std::memory_order_relaxed) == count && joined_ == 0; });
        body_ = nullptr;
        error = error_;
        error_ = nullptr;
    }
    if (error) std::rethrow_exception(error);
}

void AudioWorkers::HelperLoop() {
    ::pthread_setname_np(::pthread_self(), "velmora-audio");
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        // A range still open that this helper has not joined; a closed one (body_ null) is
        // never joined, so the caller's wait covers every helper in its range.
        start_.wait(lock, [this, &seen] { return body_ != nullptr && generation_ != seen; });
        seen = generation_;
        ++joined_;
        const std::function<void(size_t)>* body = body_;
        const size_t count = count_;
        lock.unlock();
        Run(*body, count);
        lock.lock();
        if (--joined_ == 0) done_.notify_all();
    }
}

}  // namespace loopback
}  // namespace velmora
