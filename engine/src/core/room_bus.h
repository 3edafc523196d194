// What a session tells the room bus about its room operations. Declared here, below the bus,
// and defined by bus/ (bus/hooks.cpp, or bus/hooks_without_redis.cpp in a build without
// Redis), so that sessions reach the bus without including it. See bus/hooks.h for when a
// session is carried.
#ifndef VELMORA_ENGINE_CORE_ROOM_BUS_H
#define VELMORA_ENGINE_CORE_ROOM_BUS_H

#include <cstdint>
#include <memory>
#include <string>

#include "kwix/velmora_kwix_cloud.h"
#include "records/audio_params.h"

namespace velmora {
namespace loopback {
namespace bus {

// Before the session joins `room` here: 0, or EnterRoom's error.
int BeforeEnter(uint64_t serial, const std::string& room, const std::string& user_id, kwix::KWIXRole role);
// After it: joined or refused by the local room.
void AfterEnter(uint64_t serial, bool joined);
void Left(uint64_t serial);

// Operations the session's room accepted.
void AudioChannel(uint64_t serial, bool open, const ChannelParams& channel);
void VideoChannel(uint64_t serial, kwix::StreamType type, bool open);
void Subscription(uint64_t serial, const std::string& user_id, kwix::StreamType type, bool on);
void Audio(uint64_t serial, const kwix::AudioFrame& frame, bool continuous, bool clear_send_queue);
void Video(uint64_t serial, kwix::StreamType type, std::shared_ptr<const kwix::VideoFrame> frame);
void Video(uint64_t serial, kwix::StreamType type, std::shared_ptr<const kwix::PixelFrame> frame);
void Sei(uint64_t serial, int message_type, const std::string& message);
void CustomCmd(uint64_t serial, uint32_t cmd_id, const std::string& message, bool reliable, bool ordered);

}  // namespace bus
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_CORE_ROOM_BUS_H
