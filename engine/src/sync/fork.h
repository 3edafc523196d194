// fork(): the one owner of the engine's fork handlers. A fork copies only the thread that
// calls it; a lock that another thread held at that moment would stay held in the child for
// ever, and state that thread was changing would stay half changed. So every subsystem whose
// state an engine thread may hold a lock on takes that lock before the fork and gives it back
// after it, in the parent, or in the child after making its state fit a process without the
// parent's threads.
//
// The order is stated once, here (ForkStage, top to bottom), not left to which subsystem
// happened to start first:
// - Before the fork, stages take their locks from the first to the last. The stages follow
//   the layers (engine/src/layers.txt), top to bottom: a layer may hold its locks while it
//   calls into the layers below it, never the other way (a lower layer reaches up only through
//   callbacks, and runs them with none of its locks held). Taking the locks in any other order
//   could wait, inside fork(), for a lock held by a thread that itself waits for one the fork
//   has already taken.
// - After the fork, the parent and the child run their handlers from the last stage to the
//   first: locks are given back in the reverse order, and in the child the lower layers (the
//   log first) work again before the upper ones' handlers, which may use them, run.
// Within a layer the stages do not nest: none takes another's lock while holding its own.
#ifndef VELMORA_ENGINE_SYNC_FORK_H
#define VELMORA_ENGINE_SYNC_FORK_H

#include "sync/thread_annotations.h"

namespace velmora {
namespace loopback {

enum class ForkStage {
    // bus/: the process's room bus (held while a bus starts; the bus's own threads stay the
    // parent's).
    kRoomBus,
    // core/: the registries of rooms and sessions, the engine clock (which only starts over
    // in the child: its media thread is the parent's).
    kRoomRegistry,
    kSessionRegistry,
    kClock,
    // network/: the simulated network's settings and links.
    kNetwork,
    // media/: the audio coding helpers (a batch holds its turn while its jobs run), the video
    // workers.
    kCodecWorkers,
    kVideoWorkers,
    // delivery/: the pool of engine threads, the record of which thread waits for which.
    kDeliveryPool,
    kStopWaits,
    // log/: last, because every other lock may be held while logging.
    kLog,
    kCount,
};

using ForkHandler = void (*)();

// Registers a stage's handlers (any may be null); the first registration installs the
// owner's own handlers with the system. A stage registers once, when its subsystem is made;
// a later registration of it changes nothing. Safe from any thread, also while another
// forks: a stage registered during a fork takes part from the next one on.
void RegisterForkHandlers(ForkStage stage, ForkHandler prepare, ForkHandler parent, ForkHandler child);

// The usual registration: the object `Instance()` returns at fork time (looked up then, since
// a child may replace it) gets BeforeFork, AfterForkInParent and AfterForkInChild. BeforeFork
// returns holding the object's locks (ACQUIRE), the other two give them back (RELEASE), the
// child's after making its state fit the child.
template <class T, T& (*Instance)()>
class ForkHandlersOf {
public:
    static void Register(ForkStage stage) { RegisterForkHandlers(stage, &Prepare, &Parent, &Child); }

private:
    // Not checked: the lock BeforeFork takes is given back by another handler, after fork()
    // returns, which no scope the analysis follows can show. The three methods carry the
    // attributes, so each of them is checked.
    static void Prepare() NO_THREAD_SAFETY_ANALYSIS { Instance().BeforeFork(); }
    static void Parent() NO_THREAD_SAFETY_ANALYSIS { Instance().AfterForkInParent(); }
    static void Child() NO_THREAD_SAFETY_ANALYSIS { Instance().AfterForkInChild(); }
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_SYNC_FORK_H
