// Helpers shared by the control API's files (control/*.cpp), which alone define the vlb_*
// functions of engine/include/velmora_loopback.h. The rest of the engine exposes plain C++
// functions to them and never includes the control header.
#ifndef VELMORA_ENGINE_CONTROL_CONTROL_H
#define VELMORA_ENGINE_CONTROL_CONTROL_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "core/session.h"
#include "network/setting.h"

namespace velmora {
namespace loopback {

// Copies `text` into a caller's (buffer, capacity), without a terminating NUL, and returns
// the text's full length so that the caller can retry with more room.
inline int64_t CopyOut(const std::string& text, char* buffer, size_t capacity) {
    if (buffer != nullptr && capacity > 0) std::memcpy(buffer, text.data(), std::min(capacity, text.size()));
    return static_cast<int64_t>(text.size());
}

// The live session a control call names, or null: the pointer is never dereferenced unless
// it names a live session.
inline std::shared_ptr<Session> LiveSession(const void* session) {
    return SessionRegistry::Instance().Find(session);
}

// The control API's way to the network's settings: applied here through network::Apply,
// then, when shared, to every other process on the room bus. VLB_OK, or VLB_INVALID for a
// value out of its range (nothing changed, nothing sent).
int ApplyNetworkSetting(const network::Setting& setting);

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_CONTROL_CONTROL_H
