// The room bus (bus/bus.h) as the rest of the engine meets it: the sessions' side, declared
// in core/room_bus.h and defined here (the claim of a user id, "publish this operation"),
// and the control API's side (shared network settings, connect and disconnect).
//
// The bus is connected per process: by the control API, or by the first EnterRoom that finds
// the environment variable VELMORA_LOOPBACK_REDIS set (a URL as bus::ParseAddress reads it),
// so that an unchanged program joins rooms that span processes just by being started with
// it. While the variable is set and no bus is connected (never yet, or after a failure or a
// disconnect), each EnterRoom connects first, and fails with ERR_ENTER_ROOM_FAILED (logged)
// when it cannot: a room never silently stays local to the process. Without the variable,
// rooms stay in the process until the control API connects.
//
// Only sessions that entered their room while the bus was connected are carried. Publish is
// a no-op for the others, and costs an atomic load when no bus is connected at all.
//
// fork(): the child starts without a bus (the parent's, with its threads, stays the parent's);
// its first EnterRoom connects anew as above. exit(): the bus says goodbye in its rooms and
// stops its threads.
#ifndef VELMORA_ENGINE_BUS_HOOKS_H
#define VELMORA_ENGINE_BUS_HOOKS_H

#include <cstdint>
#include <string>

#include "core/room_bus.h"
#include "network/setting.h"

namespace velmora {
namespace loopback {
namespace bus {

constexpr const char* kUrlVariable = "VELMORA_LOOPBACK_REDIS";

// A shared network setting the control API made and applied here: to every other process on
// the bus (bus.h).
void Share(const network::Setting& setting);

// Control API. Connect replaces a connected bus; false with *error saying what went wrong.
bool Connect(const std::string& url, std::string* error);
// False when no bus was connected. The ghosts leave their rooms; local members stay, local.
bool Disconnect();
// A counter of the connected bus (see bus::Counters); false without a bus or for an unknown name.
bool Counter(const std::string& name, uint64_t* value);
// Why the last connect failed ("" when it did not).
std::string LastError();

}  // namespace bus
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_BUS_HOOKS_H
