// What the engine keeps behind a frame's handle_: the payload and, for audio, the extra
// payload. Engine code reads a frame's extra payload through ExtraPayload().
#ifndef VELMORA_ENGINE_RECORDS_FRAMES_H
#define VELMORA_ENGINE_RECORDS_FRAMES_H

#include <cstdint>
#include <memory>
#include <string>

#include "kwix/velmora_kwix_defines.h"

namespace velmora {
namespace loopback {

// Payloads are immutable once made, so frame copies share them (see records/frames.cpp).
using Payload = std::shared_ptr<const std::string>;

struct FrameStore {
    Payload data;
    Payload extra;
};

// How often data() of any frame was called in this process.
uint64_t FrameDataCalls();

// The extra payload set by AudioFrame::SetExtraData (empty when none was set).
const std::string& ExtraPayload(const kwix::AudioFrame& frame);

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_RECORDS_FRAMES_H
