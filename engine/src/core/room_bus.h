// What a session tells the room bus: its room operations, and the claim of its user id when
// it enters. Declared here, below the bus, and defined by bus/ (bus/hooks.cpp, or
// bus/hooks_without_redis.cpp in a build without Redis), so that sessions reach the bus
// without including it. See bus/hooks.h for when a session is carried.
//
// No call here waits for Redis: the sessions' callers may hold the interpreter lock. The
// claim is answered later, on the bus's thread, which then reaches the session through
// CarriedSession.
#ifndef VELMORA_ENGINE_CORE_ROOM_BUS_H
#define VELMORA_ENGINE_CORE_ROOM_BUS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/operation.h"
#include "delivery/dispatcher.h"

namespace velmora {
namespace loopback {
namespace bus {

// How the bus reaches a session it carries, later and from its own threads.
struct CarriedSession {
    // The session's callbacks: its connection states while the bus has lost its server.
    std::shared_ptr<Dispatcher> dispatcher;
    // Takes the session out of the room it entered: OnError(error), then OnExitRoom, and the
    // others see it leave. For a user id another process turned out to have in that room.
    std::function<void(int error)> expel;
};

// Entering: before the session joins `room` here, its user id's claim across processes is
// queued. 0, or EnterRoom's error when the bus the environment asks for cannot be had.
int Claim(uint64_t serial, const std::string& room, const op::Enter& enter, CarriedSession session);
// The claim is not used after all: the local room refused the session, or it was destroyed
// while entering.
void Unclaim(uint64_t serial);
// An operation the session's room accepted, as the session described it: op::Enter once
// joined, op::Exit when the session left (also by its destruction), and every operation in
// between.
void Publish(uint64_t serial, const Operation& operation);
// Whether the bus carries the session now. A carried session's audio reaches the other
// processes as its own room codes it (op::Audio::relay), so that each sender is coded once,
// in its own process, as a client codes its microphone, and the listening process only
// decodes.
bool Carries(uint64_t serial);

}  // namespace bus
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_CORE_ROOM_BUS_H
