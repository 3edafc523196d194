// The room bus (bus/bus.h) as the rest of the engine meets it: the sessions' side, declared
// in core/room_bus.h and defined here (the claim of a user id, "publish this operation"),
// and the control API's side (shared network settings, connect and disconnect).
//
// The bus is connected per process: by the control API, or by the first EnterRoom that finds
// the environment variable VELMORA_LOOPBACK_REDIS set (a URL as bus::ParseAddress reads it),
// so that an unchanged program joins rooms that span processes just by being started with
// it. While the variable is set and no bus is connected (never yet, after a first connection
// that failed, or after a disconnect), each EnterRoom starts one: a URL the bus cannot use
// fails EnterRoom with ERR_ENTER_ROOM_FAILED (logged) at once; a server that cannot be
// reached takes the sessions out again once the first connection has failed (bus.h), so a
// room never silently stays local to the process. EnterRoom never waits for the server.
// Without the variable, rooms stay in the process until the control API connects.
//
// The room-bus key (bus/seal.h): the control API's, else the URL's, else the environment
// variable kKeyVariable's. Every text that shows a URL shows it masked (address.h).
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

// Control API. Connect replaces a connected bus; `key` (null: none given here) comes before
// the URL's and the environment's. False with *error saying what went wrong (masked).
bool Connect(const std::string& url, const char* key, std::string* error);
// False when no bus was connected. The ghosts leave their rooms; local members stay, local.
bool Disconnect();
// A counter of the connected bus (see bus::Counters); false without a bus or for an unknown name.
bool Counter(const std::string& name, uint64_t* value);
// Why the last connect failed ("" when it did not).
std::string LastError();
// `text`, a bus URL, as every message shows it: its password and key masked (address.h).
std::string Mask(const std::string& text);

}  // namespace bus
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_BUS_HOOKS_H
