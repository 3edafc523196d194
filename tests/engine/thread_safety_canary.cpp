// Breaks the engine's lock rules on purpose: the thread-safety build (scripts/run_tests.sh)
// compiles it expecting clang to refuse it. If this file ever compiles there, the engine's
// build no longer checks its locks.
#include "sync/mutex.h"

namespace {

class Counter {
public:
    int ReadWithoutTheLock() const { return value_; }

private:
    mutable velmora::loopback::Mutex mu_;
    int value_ GUARDED_BY(mu_) = 0;
};

}  // namespace

int ThreadSafetyCanary() { return Counter().ReadWithoutTheLock(); }
