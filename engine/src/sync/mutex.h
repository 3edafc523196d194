// The engine's lock, its scope and its condition variable: std::mutex and
// std::condition_variable with the attributes of sync/thread_annotations.h, so that clang
// checks every GUARDED_BY and REQUIRES against the locks actually held (libstdc++'s own types
// carry none).
//
// Waiting takes the Mutex itself, which the caller holds (through a MutexLock): a wait is the
// one place where a held lock is given up and taken back inside a call. Waits take no
// predicate: a lambda is checked as a function of its own, which holds no lock, so callers
// write the loop (`while (!ready_) wake_.Wait(mu_);`), where the analysis sees the lock.
#ifndef VELMORA_ENGINE_SYNC_MUTEX_H
#define VELMORA_ENGINE_SYNC_MUTEX_H

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "sync/thread_annotations.h"

namespace velmora {
namespace loopback {

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() ACQUIRE() { mu_.lock(); }
    void Unlock() RELEASE() { mu_.unlock(); }
    bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
    // Tells the analysis that the caller holds this lock where it cannot see it taken: in a
    // callback that its caller runs under the lock, or in a fork handler. Checks nothing.
    void AssertHeld() const ASSERT_CAPABILITY(this) {}

private:
    friend class CondVar;
    std::mutex mu_;
};

// Holds a Mutex for its scope; Unlock and Lock give it up and take it back within the scope.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
    ~MutexLock() RELEASE() {
        if (held_) mu_.Unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Unlock() RELEASE() {
        mu_.Unlock();
        held_ = false;
    }
    void Lock() ACQUIRE() {
        mu_.Lock();
        held_ = true;
    }
    // Whether this scope holds its lock now (it may have given it up for a while).
    bool held() const { return held_; }

private:
    Mutex& mu_;
    bool held_ = true;
};

class CondVar {
public:
    CondVar() = default;
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    // Gives up `mu` until notified (or woken spuriously) and takes it back.
    void Wait(Mutex& mu) REQUIRES(mu) {
        std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
        cv_.wait(lock);
        lock.release();
    }
    // As Wait, at most until `deadline`: false when it returns because the deadline passed.
    template <class Clock, class Duration>
    bool WaitUntil(Mutex& mu, const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mu) {
        std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
        const std::cv_status status = cv_.wait_until(lock, deadline);
        lock.release();
        return status == std::cv_status::no_timeout;
    }
    template <class Rep, class Period>
    bool WaitFor(Mutex& mu, const std::chrono::duration<Rep, Period>& timeout) REQUIRES(mu) {
        return WaitUntil(mu, std::chrono::steady_clock::now() + timeout);
    }

    void NotifyOne() { cv_.notify_one(); }
    void NotifyAll() { cv_.notify_all(); }

private:
    std::condition_variable cv_;
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_SYNC_MUTEX_H
