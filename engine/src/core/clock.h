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
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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

    int64_t NowMs() const;
    // Adds a ticker; the media thread starts with the first one on the real clock.
    void Register(Ticker ticker);

    // Manual mode on or off. Turning it on waits for the media thread to finish its tick,
    // moves time on to the next tick (at most kTickMs - 1) and runs the ticks still due on the
    // caller's thread.
    void SetManual(bool manual);
    bool manual() const;
    // Manual mode: waits (at most kVideoSettleMs) for the video frames sent so far to be
    // coded, then moves time on by `ms` and runs the ticks passed, on this thread. Returns
    // false (doing nothing) on the real clock or for a negative `ms`.
    bool Advance(int64_t ms);

private:
    Clock() = default;
    // fork(): the child starts with no media thread and no tickers; its new rooms and
    // sessions register afresh.
    void AfterForkInChild();
    int64_t RealNowLocked() const;
    void StartThreadLocked();
    void StopThread(std::unique_lock<std::mutex>& lock);
    void Loop();
    // Runs the ticks from last_tick_ up to `until`; only one caller at a time (tick_mu_).
    void RunTicksUntil(int64_t until);

    mutable std::mutex mu_;  // guards everything below but tickers_ and last_tick_
    std::condition_variable wake_;
    bool manual_ = false;
    bool stopping_ = false;
    int64_t manual_now_ = 0;
    // Real time = steady clock minus this offset (so that it goes on from manual_now_).
    std::chrono::steady_clock::time_point real_origin_ = std::chrono::steady_clock::now();
    int64_t real_base_ = 0;
    std::thread thread_;

    std::mutex tick_mu_;  // one tick run at a time; guards tickers_ and last_tick_
    std::vector<Ticker> tickers_;
    std::vector<Ticker> added_;  // guarded by mu_: registered while ticks may be running
    int64_t last_tick_ = 0;
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_CORE_CLOCK_H
