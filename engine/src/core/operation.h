// Room operations: what a member does in its room, described once.
//
// A session turns each KWIXCloud call that acts in a room into one Operation, applies it to
// its room through Room::Apply (entering: RoomRegistry::Enter), and hands the very same
// Operation to the room bus, which publishes it; another process decodes it and applies it to
// the sender's mirrored member through the same entry. So whatever a member does, wherever it
// is, meets the same checks: Check below (the operation on its own), then the room's (is the
// sender a member, is its channel open, may its role open one).
//
// Each kind is a plain struct whose every field has one meaning. The bus's wire format lists
// the fields of each kind (bus/wire.cpp); a new kind is a struct here, an alternative of
// Operation, its case in Check and Room::Apply, and its field list there.
#ifndef VELMORA_ENGINE_CORE_OPERATION_H
#define VELMORA_ENGINE_CORE_OPERATION_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "kwix/velmora_kwix_cloud.h"
#include "records/audio_params.h"

namespace velmora {
namespace loopback {

// SEI messages and custom commands are at most this long.
constexpr size_t kMaxMessageBytes = 1024;
// A video stream's longest time between key frames (VideoEncodeParams::gop_in_seconds).
constexpr int32_t kMaxGopSeconds = 600;

namespace op {

// The user id is the sender's own: in the Entrant locally, in the message's header on the bus.
struct Enter {
    std::string user_id;
    kwix::KWIXRole role = kwix::KWIX_ROLE_ANCHOR;
};
struct Exit {};
struct AudioChannel {
    bool open = false;
    ChannelParams channel;  // of an opened channel
};
struct VideoChannel {
    bool open = false;
    kwix::StreamType type = kwix::STREAM_TYPE_VIDEO_HIGH;
};
struct Subscription {
    std::string user_id;  // the sender subscribed to (or unsubscribed from)
    kwix::StreamType type = kwix::STREAM_TYPE_AUDIO;
    bool on = true;
};
struct Audio {
    bool continuous = false;  // SendContinuousAudioFrame (paced) rather than SendAudioFrame
    bool clear_send_queue = false;
    std::shared_ptr<const kwix::AudioFrame> frame;
    // Here only, never on the wire: the room bus carries the sender (bus::Carries), so the
    // bus publishes what the sender's room codes of this frame on its tick (RoomAudio's
    // relayed frames) rather than the frame itself.
    bool relay = false;
};
struct Video {
    kwix::StreamType type = kwix::STREAM_TYPE_VIDEO_HIGH;
    std::shared_ptr<const kwix::VideoFrame> frame;
};
struct Pixels {
    kwix::StreamType type = kwix::STREAM_TYPE_VIDEO_HIGH;
    std::shared_ptr<const kwix::PixelFrame> frame;
};
// SetVideoEncodeParam: how the engine encodes the stream when the member sends pixels.
struct VideoParams {
    kwix::StreamType type = kwix::STREAM_TYPE_VIDEO_HIGH;
    kwix::VideoEncodeParams params;
};
struct Sei {
    int32_t message_type = 0;
    std::string message;
};
struct Command {
    uint32_t cmd_id = 0;
    bool reliable = true;
    bool ordered = true;
    std::string message;
};

}  // namespace op

using Operation = std::variant<op::Enter, op::Exit, op::AudioChannel, op::VideoChannel, op::Subscription, op::Audio,
                               op::Video, op::Pixels, op::Sei, op::Command, op::VideoParams>;

// One lambda per kind, for std::visit over an Operation.
template <typename... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <typename... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

// The operation on its own, before any room is asked: 0 or the Error code KWIXCloud reports.
// - Enter: ERR_INVALID_USER_ID for an empty user id, one that is not valid UTF-8 (strict, as
//   a receiving Python decodes it) or holds a zero byte; ERR_INVALID_PARAMETER for a role
//   other than anchor and audience.
// - AudioChannel (opening): CheckChannelParams.
// - VideoChannel: ERR_INVALID_PARAMETER for a stream type other than video high, low, aux.
// - Subscription: ERR_INVALID_PARAMETER for an empty user id (or one with a zero byte) or a
//   stream type other than audio and the video ones.
// - Audio: no frame or no payload: ERR_NOT_SUPPORTED for AAC, else ERR_INVALID_PARAMETER;
//   the frame's format is the audio path's to check (media/room_audio.h).
// - Video, Pixels: ERR_INVALID_PARAMETER for a stream type that is not a video one or a
//   frame without payload; Pixels also for a frame the video path cannot take
//   (CheckPixelFrame in media/video_picture.h: format, size, payload length).
// - VideoParams: ERR_INVALID_PARAMETER for a stream type that is not a video one, a frame
//   rate outside kMinEncodeFrameRate..kMaxEncodeFrameRate, a bitrate other than 0 (the
//   engine picks one) outside kMinEncodeBitrateBps..kMaxEncodeBitrateBps, or a GOP outside
//   1..kMaxGopSeconds.
// - Sei, Command: ERR_INVALID_PARAMETER above kMaxMessageBytes.
int Check(const Operation& operation);

// "Enter", "AudioChannel", ...: for logs.
const char* NameOf(const Operation& operation);

bool IsVideoStream(kwix::StreamType type);
// Strict UTF-8 without zero bytes: what every receiver can decode and pass on as C text.
bool IsUserId(const std::string& text);

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_CORE_OPERATION_H
