// The engine clock: the one time base of everything timed in the engine's media (mixing,
// re-chunking, pacing), real by default, or driven by hand so that tests are deterministic.
//
// The clock ticks every kTickMs of its time. On each tick it runs every registered ticker,
// in registration order, outside the clock's own lock. Real clock: one engine media thread,
// owned by the clock, ticks on wall time (it catches up after a stall, at most kMaxCatchUpMs
// at once). Manual clock: time stands still until Advance, which runs the ticks it passes
// on the caller's thread. Switching keeps time monotonic: each mode goes on from the time
// the other left.
//
// In a child of fork() the clock starts over without the parent's tickers (see
// AfterForkInChild).
//
// Tickers never wait for a delegate callback (they only post to dispatchers), so Advance
// and the media thread are safe to run while a Python thread holds the interpreter lock.
#ifndef VELMORA_ENGINE_CORE_CLOCK_H
#define VELMORA_ENGINE_CORE_CLOCK_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sync/fork.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

class Clock {
public:
    static constexpr int64_t kTickMs = 10;
    static constexpr int64_t kMaxCatchUpMs = 1000;
    static constexpr int kVideoSettleMs = 10000;

    // A ticker is called with the time of the tick (a multiple of kTickMs). It returns false
    // once it wants no more ticks (its owner has gone).
    using Ticker = std::function<bool(int64_t now_ms)>;

    static Clock& Instance();

    int64_t NowMs() const EXCLUDES(mu_);
    // Adds a ticker; the media thread starts with the first one on the real clock.
    void Register(Ticker ticker) EXCLUDES(mu_);

    // Manual mode on or off. Turning it on waits for the media thread to finish its tick,
    // moves time on to the next tick (at most kTickMs - 1) and runs the ticks still due on the
    // caller's thread.
    void SetManual(bool manual) EXCLUDES(mu_, tick_mu_);
    bool manual() const EXCLUDES(mu_);
    // Manual mode: waits (at most kVideoSettleMs) for the video frames sent so far to be
    // coded, then moves time on by `ms` and runs the ticks passed, on this thread. Returns
    // false (doing nothing) on the real clock or for a negative `ms`.
    bool Advance(int64_t ms) EXCLUDES(mu_, tick_mu_);

private:
    friend class ForkHandlersOf<Clock, &Clock::Instance>;
    Clock() = default;
    // fork(): no lock is held across it; the child starts with no media thread and no
    // tickers, its locks made anew, and its new rooms and sessions register afresh.
    void BeforeFork() {}
    void AfterForkInParent() {}
    void AfterForkInChild();
    int64_t RealNowLocked() const REQUIRES(mu_);
    void StartThreadLocked() REQUIRES(mu_);
    // Gives mu_ up while it waits for the media thread to end.
    void StopThreadLocked() REQUIRES(mu_);
    void Loop() EXCLUDES(mu_, tick_mu_);
    // Runs the ticks from last_tick_ up to `until`; only one caller at a time (tick_mu_).
    void RunTicksUntil(int64_t until) EXCLUDES(mu_, tick_mu_);

    // Lock order: tick_mu_ before mu_ (a tick run takes mu_ for the tickers added meanwhile).
    // tick_mu_ is held through the tickers, which never call the clock back but for NowMs and
    // Register; mu_ is never held while a ticker runs or the media thread is joined.
    mutable Mutex mu_;
    CondVar wake_;
    bool manual_ GUARDED_BY(mu_) = false;
    bool stopping_ GUARDED_BY(mu_) = false;
    int64_t manual_now_ GUARDED_BY(mu_) = 0;
    // Real time = steady clock minus this offset (so that it goes on from manual_now_).
    std::chrono::steady_clock::time_point real_origin_ GUARDED_BY(mu_) = std::chrono::steady_clock::now();
    int64_t real_base_ GUARDED_BY(mu_) = 0;
    std::thread thread_ GUARDED_BY(mu_);

    Mutex tick_mu_;  // one tick run at a time
    std::vector<Ticker> tickers_ GUARDED_BY(tick_mu_);
    std::vector<Ticker> added_ GUARDED_BY(mu_);  // registered while ticks may be running
    // tickers_ is not empty, as of the last tick run: what leaving manual mode reads, which
    // holds mu_ and so cannot take tick_mu_.
    bool has_tickers_ GUARDED_BY(mu_) = false;
    int64_t last_tick_ GUARDED_BY(tick_mu_) = 0;
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_CORE_CLOCK_H
