#include "core/clock.h"

#include <new>
#include <utility>

#include "log/log.h"
#include "media/video_workers.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

namespace {

int64_t FloorToTick(int64_t ms) { return ms - ms % Clock::kTickMs; }

}  // namespace

Clock& Clock::Instance() {
    // Leaked: rooms of sessions nobody destroyed may still tick while the process exits.
    static Clock* clock = [] {
        auto* created = new Clock;
        ForkHandlersOf<Clock, &Clock::Instance>::Register(ForkStage::kClock);
        return created;
    }();
    return *clock;
}

void Clock::AfterForkInChild() {
    // The media thread stayed in the parent, perhaps inside a tick or holding a lock, and the
    // tickers belong to the parent's rooms and sessions, which are inert here. Nothing of that
    // state is read or destroyed: every part of it is made anew (the old parts are leaked).
    new (&mu_) Mutex();
    new (&tick_mu_) Mutex();
    new (&wake_) CondVar();
    MutexLock ticking(tick_mu_);
    MutexLock lock(mu_);
    new (&thread_) std::thread();
    new (&tickers_) std::vector<Ticker>();
    new (&added_) std::vector<Ticker>();
    stopping_ = false;
    has_tickers_ = false;
}

int64_t Clock::RealNowLocked() const {
    const auto elapsed = std::chrono::steady_clock::now() - real_origin_;
    return real_base_ + std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

int64_t Clock::NowMs() const {
    MutexLock lock(mu_);
    return manual_ ? manual_now_ : RealNowLocked();
}

bool Clock::manual() const {
    MutexLock lock(mu_);
    return manual_;
}

void Clock::Register(Ticker ticker) {
    MutexLock lock(mu_);
    added_.push_back(std::move(ticker));
    if (!manual_) StartThreadLocked();
}

void Clock::StartThreadLocked() {
    if (thread_.joinable()) return;
    stopping_ = false;
    thread_ = std::thread([this] { Loop(); });
}

void Clock::StopThreadLocked() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    wake_.NotifyAll();
    std::thread finished = std::move(thread_);
    mu_.Unlock();
    finished.join();
    mu_.Lock();
}

void Clock::SetManual(bool manual) {
    MutexLock lock(mu_);
    if (manual == manual_) return;
    if (manual) {
        StopThreadLocked();
        // The manual clock starts on a tick, so that a run started on it always meets the
        // ticks at the same offsets; the ticks up to then run now, leaving nothing pending:
        // Advance(ms) runs exactly the ticks within those ms.
        manual_now_ = FloorToTick(RealNowLocked() + kTickMs - 1);
        manual_ = true;
        const int64_t now = manual_now_;
        lock.Unlock();
        RunTicksUntil(now);
    } else {
        real_base_ = manual_now_;
        real_origin_ = std::chrono::steady_clock::now();
        manual_ = false;
        if (has_tickers_ || !added_.empty()) StartThreadLocked();
    }
}

bool Clock::Advance(int64_t ms) {
    {
        MutexLock lock(mu_);
        if (!manual_ || ms < 0) return false;
    }
    // Frames sent before this step are coded and on their way before time moves on, so that
    // the same calls give the same deliveries every run, however fast the video workers are.
    if (!VideoWorkers::Instance().WaitIdle(kVideoSettleMs)) {
        Logf(LogLevel::kWarning, "engine clock: video frames sent before a step of %lld ms were still being coded "
             "after %d ms; the step goes on without them", static_cast<long long>(ms), kVideoSettleMs);
    }
    int64_t until = 0;
    {
        MutexLock lock(mu_);
        if (!manual_) return false;
        manual_now_ += ms;
        until = manual_now_;
    }
    RunTicksUntil(until);
    return true;
}

void Clock::RunTicksUntil(int64_t until) {
    MutexLock ticking(tick_mu_);
    {
        MutexLock lock(mu_);
        for (Ticker& t : added_) tickers_.push_back(std::move(t));
        added_.clear();
        has_tickers_ = !tickers_.empty();
        // A stalled real clock skips what it cannot catch up with; a manual one never does.
        if (!manual_ && until - last_tick_ > kMaxCatchUpMs) last_tick_ = FloorToTick(until - kMaxCatchUpMs);
    }
    for (int64_t t = last_tick_ + kTickMs; t <= until; t += kTickMs) {
        last_tick_ = t;
        size_t kept = 0;
        for (size_t i = 0; i < tickers_.size(); ++i) {
            if (tickers_[i](t)) {
                if (kept != i) tickers_[kept] = std::move(tickers_[i]);
                ++kept;
            }
        }
        tickers_.resize(kept);
        MutexLock lock(mu_);
        for (Ticker& added : added_) tickers_.push_back(std::move(added));
        added_.clear();
        has_tickers_ = !tickers_.empty();
    }
}

void Clock::Loop() {
    // Named, so that a profile of a busy process tells the ticks' time from the callbacks'.
    ::pthread_setname_np(::pthread_self(), "velmora-clock");
    MutexLock lock(mu_);
    int64_t next = FloorToTick(RealNowLocked()) + kTickMs;
    while (!stopping_) {
        const int64_t now = RealNowLocked();
        if (now < next) {
            wake_.WaitUntil(mu_, real_origin_ + std::chrono::milliseconds(next - real_base_));
            continue;
        }
        lock.Unlock();
        RunTicksUntil(now);
        lock.Lock();
        next = FloorToTick(RealNowLocked()) + kTickMs;
    }
}

}  // namespace loopback
}  // namespace velmora
