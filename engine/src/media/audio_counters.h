// A session's audio counters, shared by the session (sends) and the rooms and dispatcher
// paths that deliver to it: frames it sent that were accepted or refused, and frames meant
// for it that were delivered (a callback made, or a frame pulled) or dropped (a full
// queue, or continuous sends cleared before they went out).
#ifndef VELMORA_ENGINE_MEDIA_AUDIO_COUNTERS_H
#define VELMORA_ENGINE_MEDIA_AUDIO_COUNTERS_H

#include <atomic>
#include <cstdint>

#include "delivery/dispatcher.h"

namespace velmora {
namespace loopback {

// delivered and dropped: the receiver's DeliveryTally, which its queued frames count in.
struct AudioCounters : DeliveryTally {
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> refused{0};
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_AUDIO_COUNTERS_H
