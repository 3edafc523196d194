#include "sync/fork.h"

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <mutex>

namespace velmora {
namespace loopback {

namespace {

constexpr size_t kStages = static_cast<size_t>(ForkStage::kCount);

struct Stage {
    std::atomic<ForkHandler> prepare{nullptr};
    std::atomic<ForkHandler> parent{nullptr};
    std::atomic<ForkHandler> child{nullptr};
    std::atomic<bool> claimed{false};     // by the stage's first registration
    std::atomic<bool> registered{false};  // set last: the three above are complete
};

Stage g_stages[kStages];
// The stages whose prepare ran before the fork under way: after it, only those get their
// handlers. Written and read only by the forking thread, between prepare and parent/child.
bool g_prepared[kStages];

void Prepare() {
    for (size_t i = 0; i < kStages; ++i) {
        g_prepared[i] = g_stages[i].registered.load(std::memory_order_acquire);
        if (!g_prepared[i]) continue;
        if (ForkHandler h = g_stages[i].prepare.load(std::memory_order_relaxed)) h();
    }
}

void Parent() {
    for (size_t i = kStages; i-- > 0;) {
        if (!g_prepared[i]) continue;
        if (ForkHandler h = g_stages[i].parent.load(std::memory_order_relaxed)) h();
    }
}

void Child() {
    for (size_t i = kStages; i-- > 0;) {
        if (!g_prepared[i]) continue;
        if (ForkHandler h = g_stages[i].child.load(std::memory_order_relaxed)) h();
    }
}

}  // namespace

void RegisterForkHandlers(ForkStage stage, ForkHandler prepare, ForkHandler parent, ForkHandler child) {
    static std::once_flag installed;
    std::call_once(installed, [] { ::pthread_atfork(Prepare, Parent, Child); });
    Stage& s = g_stages[static_cast<size_t>(stage)];
    bool unclaimed = false;
    if (!s.claimed.compare_exchange_strong(unclaimed, true)) return;
    s.prepare.store(prepare, std::memory_order_relaxed);
    s.parent.store(parent, std::memory_order_relaxed);
    s.child.store(child, std::memory_order_relaxed);
    s.registered.store(true, std::memory_order_release);
}

}  // namespace loopback
}  // namespace velmora
