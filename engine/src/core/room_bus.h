// What a session tells the room bus: its room operations, and the claim of its user id when
// it enters. Declared here, below the bus, and defined by bus/ (bus/hooks.cpp, or
// bus/hooks_without_redis.cpp in a build without Redis), so that sessions reach the bus
// without including it. See bus/hooks.h for when a session is carried.
#ifndef VELMORA_ENGINE_CORE_ROOM_BUS_H
#define VELMORA_ENGINE_CORE_ROOM_BUS_H

#include <cstdint>
#include <string>

#include "core/operation.h"

namespace velmora {
namespace loopback {
namespace bus {

// Entering: before the session joins `room` here, its user id is claimed in that room
// across processes. 0, or EnterRoom's error.
int Claim(uint64_t serial, const std::string& room, const op::Enter& enter);
// The claim is not used after all: the local room refused the session, or it was destroyed
// while entering.
void Unclaim(uint64_t serial);
// An operation the session's room accepted, as the session described it: op::Enter once
// joined, op::Exit when the session left (also by its destruction), and every operation in
// between.
void Publish(uint64_t serial, const Operation& operation);

}  // namespace bus
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_CORE_ROOM_BUS_H
