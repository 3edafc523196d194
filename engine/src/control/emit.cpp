// Control API: callbacks emitted into a session's delegate exactly as given.
//
// Every session pointer is looked up among the live sessions before anything else and is
// never dereferenced otherwise. Emitted arguments are copied before they are queued, so the
// caller's buffers may go away as soon as a function returns. An unknown `where` is answered
// like an unknown slot name (-3).
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "control/control.h"
#include "core/session.h"
#include "delivery/dispatcher.h"
#include "velmora_loopback.h"

using namespace velmora::kwix;
using velmora::loopback::Dispatcher;
using velmora::loopback::Session;

namespace {

constexpr int kUnknownSlot = -3;

std::shared_ptr<Session> Live(const void* session) { return velmora::loopback::LiveSession(session); }

// A copied text that remembers whether it was a null pointer.
class CopiedText {
public:
    explicit CopiedText(const char* text) : null_(text == nullptr), value_(text == nullptr ? "" : text) {}
    const char* get() const { return null_ ? nullptr : value_.c_str(); }

private:
    bool null_;
    std::string value_;
};

// A copied message: its bytes and the length given, a null pointer kept as null.
class CopiedMessage {
public:
    CopiedMessage(const char* data, size_t length)
        : null_(data == nullptr), bytes_(data == nullptr ? std::string() : std::string(data, length)), length_(length) {}
    const char* data() const { return null_ ? nullptr : bytes_.data(); }
    size_t length() const { return length_; }

private:
    bool null_;
    std::string bytes_;
    size_t length_;
};

int Emit(void* session, int where, const char* name, bool media, Dispatcher::Call call) {
    std::shared_ptr<Session> s = Live(session);
    if (!s) return VLB_ABSENT;
    switch (where) {
        case VLB_ON_ENGINE_THREAD:
            if (media) {
                s->dispatcher().PostMedia(name, std::move(call));
            } else {
                s->dispatcher().PostEvent(name, std::move(call));
            }
            return VLB_OK;
        case VLB_ON_CALLING_THREAD:
            s->dispatcher().CallHere(name, call, media);
            return VLB_OK;
        default:
            return kUnknownSlot;
    }
}

// The literal for `slot` among `names`, so that queued items never point into the caller's text.
const char* Slot(const char* slot, std::initializer_list<const char*> names) {
    if (slot == nullptr) return nullptr;
    for (const char* name : names) {
        if (std::strcmp(slot, name) == 0) return name;
    }
    return nullptr;
}

}  // namespace

extern "C" {

/* ---- Emitting callbacks ---- */

int vlb_emit_error(void* session, int where, int error) {
    return Emit(session, where, "OnError", false,
                [error](KWIXCloudDelegate& d) { d.OnError(static_cast<Error>(error)); });
}

int vlb_emit_connection_state(void* session, int where, int old_state, int new_state) {
    return Emit(session, where, "OnConnectionStateChanged", false, [old_state, new_state](KWIXCloudDelegate& d) {
        d.OnConnectionStateChanged(static_cast<ConnectionState>(old_state), static_cast<ConnectionState>(new_state));
    });
}

int vlb_emit_event(void* session, int where, const char* slot) {
    if (!Live(session)) return VLB_ABSENT;
    const char* name =
        Slot(slot, {"OnEnterRoom", "OnExitRoom", "OnLocalAudioChannelCreated", "OnLocalAudioChannelDestroyed"});
    if (name == nullptr) return kUnknownSlot;
    Dispatcher::Call call;
    if (std::strcmp(name, "OnEnterRoom") == 0) {
        call = [](KWIXCloudDelegate& d) { d.OnEnterRoom(); };
    } else if (std::strcmp(name, "OnExitRoom") == 0) {
        call = [](KWIXCloudDelegate& d) { d.OnExitRoom(); };
    } else if (std::strcmp(name, "OnLocalAudioChannelCreated") == 0) {
        call = [](KWIXCloudDelegate& d) { d.OnLocalAudioChannelCreated(); };
    } else {
        call = [](KWIXCloudDelegate& d) { d.OnLocalAudioChannelDestroyed(); };
    }
    return Emit(session, where, name, false, std::move(call));
}

int vlb_emit_stream_event(void* session, int where, const char* slot, int stream_type) {
    if (!Live(session)) return VLB_ABSENT;
    const char* name = Slot(slot, {"OnLocalVideoChannelCreated", "OnLocalVideoChannelDestroyed", "OnRequestKeyFrame"});
    if (name == nullptr) return kUnknownSlot;
    const StreamType type = static_cast<StreamType>(stream_type);
    Dispatcher::Call call;
    if (std::strcmp(name, "OnLocalVideoChannelCreated") == 0) {
        call = [type](KWIXCloudDelegate& d) { d.OnLocalVideoChannelCreated(type); };
    } else if (std::strcmp(name, "OnLocalVideoChannelDestroyed") == 0) {
        call = [type](KWIXCloudDelegate& d) { d.OnLocalVideoChannelDestroyed(type); };
    } else {
        call = [type](KWIXCloudDelegate& d) { d.OnRequestKeyFrame(type); };
    }
    return Emit(session, where, name, false, std::move(call));
}

int vlb_emit_bitrate_request(void* session, int where, int stream_type, int bitrate_bps) {
    return Emit(session, where, "OnRequestChangeVideoEncodeBitrate", false, [stream_type, bitrate_bps](KWIXCloudDelegate& d) {
        d.OnRequestChangeVideoEncodeBitrate(static_cast<StreamType>(stream_type), bitrate_bps);
    });
}

int vlb_emit_user(void* session, int where, const char* slot, const char* user_id, int reason) {
    if (!Live(session)) return VLB_ABSENT;
    const char* name = Slot(slot, {"OnRemoteUserEnterRoom", "OnRemoteUserExitRoom"});
    if (name == nullptr) return kUnknownSlot;
    auto user = std::make_shared<const CopiedText>(user_id);
    const bool enter = std::strcmp(name, "OnRemoteUserEnterRoom") == 0;
    return Emit(session, where, name, false, [user, enter, reason](KWIXCloudDelegate& d) {
        UserInfo info;
        info.user_id.SetValue(user->get());
        if (enter) {
            d.OnRemoteUserEnterRoom(info);
        } else {
            d.OnRemoteUserExitRoom(info, reason);
        }
    });
}

int vlb_emit_audio_available(void* session, int where, const char* user_id, int available) {
    auto user = std::make_shared<const CopiedText>(user_id);
    return Emit(session, where, "OnRemoteAudioAvailable", false,
                [user, available](KWIXCloudDelegate& d) { d.OnRemoteAudioAvailable(user->get(), available != 0); });
}

int vlb_emit_video_available(void* session, int where, const char* user_id, int available, int stream_type) {
    auto user = std::make_shared<const CopiedText>(user_id);
    return Emit(session, where, "OnRemoteVideoAvailable", false, [user, available, stream_type](KWIXCloudDelegate& d) {
        d.OnRemoteVideoAvailable(user->get(), available != 0, static_cast<StreamType>(stream_type));
    });
}

int vlb_emit_audio_frame(void* session, int where, int mixed, const char* user_id, int32_t sample_rate,
                         int32_t channels, int32_t bits_per_sample, int codec, uint32_t pts, int has_voice,
                         const uint8_t* data, size_t size) {
    if (!Live(session)) return VLB_ABSENT;
    auto frame = std::make_shared<AudioFrame>();
    frame->sample_rate = sample_rate;
    frame->channels = channels;
    frame->bits_per_sample = bits_per_sample;
    frame->codec = static_cast<AudioCodecType>(codec);
    frame->pts = pts;
    frame->has_voice = has_voice != 0;
    frame->SetData(data, data == nullptr ? 0 : size);
    std::shared_ptr<const AudioFrame> done = std::move(frame);
    if (mixed != 0) {
        return Emit(session, where, "OnRemoteMixedAudioReceived", true,
                    [done](KWIXCloudDelegate& d) { d.OnRemoteMixedAudioReceived(*done); });
    }
    auto user = std::make_shared<const CopiedText>(user_id);
    return Emit(session, where, "OnRemoteAudioReceived", true,
                [user, done](KWIXCloudDelegate& d) { d.OnRemoteAudioReceived(user->get(), *done); });
}

int vlb_emit_video_frame(void* session, int where, const char* user_id, int stream_type, uint32_t pts, uint32_t dts,
                         int is_key_frame, int codec, int rotation, const uint8_t* data, size_t size) {
    if (!Live(session)) return VLB_ABSENT;
    auto frame = std::make_shared<VideoFrame>();
    frame->pts = pts;
    frame->dts = dts;
    frame->is_key_frame = is_key_frame != 0;
    frame->codec = static_cast<VideoCodecType>(codec);
    frame->rotation = static_cast<VideoRotation>(rotation);
    frame->SetData(data, data == nullptr ? 0 : size);
    std::shared_ptr<const VideoFrame> done = std::move(frame);
    auto user = std::make_shared<const CopiedText>(user_id);
    const StreamType type = static_cast<StreamType>(stream_type);
    return Emit(session, where, "OnRemoteVideoReceived", true,
                [user, type, done](KWIXCloudDelegate& d) { d.OnRemoteVideoReceived(user->get(), type, *done); });
}

int vlb_emit_pixel_frame(void* session, int where, const char* user_id, int stream_type, uint32_t pts,
                         uint32_t width, uint32_t height, int format, int rotation, const uint8_t* data,
                         size_t size) {
    if (!Live(session)) return VLB_ABSENT;
    auto frame = std::make_shared<PixelFrame>();
    frame->pts = pts;
    frame->width = width;
    frame->height = height;
    frame->format = static_cast<VideoPixelFormat>(format);
    frame->rotation = static_cast<VideoRotation>(rotation);
    frame->SetData(data, data == nullptr ? 0 : size);
    std::shared_ptr<const PixelFrame> done = std::move(frame);
    auto user = std::make_shared<const CopiedText>(user_id);
    const StreamType type = static_cast<StreamType>(stream_type);
    return Emit(session, where, "OnRemoteVideoReceived", true,
                [user, type, done](KWIXCloudDelegate& d) { d.OnRemoteVideoReceived(user->get(), type, *done); });
}

int vlb_emit_sei(void* session, int where, const char* user_id, int stream_type, int message_type,
                 const char* message, size_t length) {
    auto user = std::make_shared<const CopiedText>(user_id);
    auto msg = std::make_shared<const CopiedMessage>(message, length);
    return Emit(session, where, "OnSeiMessageReceived", false, [user, stream_type, message_type, msg](KWIXCloudDelegate& d) {
        d.OnSeiMessageReceived(user->get(), static_cast<StreamType>(stream_type), message_type, msg->data(),
                               msg->length());
    });
}

int vlb_emit_custom_cmd(void* session, int where, const char* user_id, int32_t cmd_id, uint32_t seq,
                        const char* message, size_t length) {
    auto user = std::make_shared<const CopiedText>(user_id);
    auto msg = std::make_shared<const CopiedMessage>(message, length);
    return Emit(session, where, "OnReceiveCustomCmdMsg", false, [user, cmd_id, seq, msg](KWIXCloudDelegate& d) {
        d.OnReceiveCustomCmdMsg(user->get(), cmd_id, seq, msg->data(), msg->length());
    });
}

int vlb_emit_miss_custom_cmd(void* session, int where, const char* user_id, int32_t cmd_id, uint32_t error_code,
                             uint32_t missed) {
    auto user = std::make_shared<const CopiedText>(user_id);
    return Emit(session, where, "OnMissCustomCmdMsg", false, [user, cmd_id, error_code, missed](KWIXCloudDelegate& d) {
        d.OnMissCustomCmdMsg(user->get(), cmd_id, error_code, missed);
    });
}

int vlb_emit_network_quality(void* session, int where, const char* local_user, int local_quality,
                             const char* const* remote_users, const int* remote_qualities, size_t count) {
    if (!Live(session)) return VLB_ABSENT;
    auto local = std::make_shared<const CopiedText>(local_user);
    std::vector<CopiedText> users;
    std::vector<int> qualities;
    for (size_t i = 0; i < count; ++i) {
        users.emplace_back(remote_users == nullptr ? nullptr : remote_users[i]);
        qualities.push_back(remote_qualities == nullptr ? NETWORK_QUALITY_UNKNOWN : remote_qualities[i]);
    }
    auto remote = std::make_shared<const std::pair<std::vector<CopiedText>, std::vector<int>>>(std::move(users),
                                                                                          std::move(qualities));
    return Emit(session, where, "OnNetworkQuality", false, [local, local_quality, remote](KWIXCloudDelegate& d) {
        NetworkQualityInfo own;
        own.user_id.SetValue(local->get());
        own.quality = static_cast<NetworkQuality>(local_quality);
        std::vector<NetworkQualityInfo> others(remote->first.size());
        for (size_t i = 0; i < others.size(); ++i) {
            others[i].user_id.SetValue(remote->first[i].get());
            others[i].quality = static_cast<NetworkQuality>(remote->second[i]);
        }
        d.OnNetworkQuality(local->get() == nullptr ? nullptr : &own, others.empty() ? nullptr : others.data(),
                           others.size());
    });
}

int vlb_emit_unexposed(void* session, int where, const char* slot) {
    if (!Live(session)) return VLB_ABSENT;
    const char* name = Slot(slot, {"OnUserVoiceVolume", "OnReceiveAsrMessage", "OnAsrServiceError"});
    if (name == nullptr) return kUnknownSlot;
    Dispatcher::Call call;
    if (std::strcmp(name, "OnUserVoiceVolume") == 0) {
        call = [](KWIXCloudDelegate& d) {
            KWIXVolumeInfo volumes[2];
            volumes[0].user_id.SetValue("alice");
            volumes[0].volume = 40;
            volumes[1].user_id.SetValue("bob");
            volumes[1].volume = 60;
            d.OnUserVoiceVolume(volumes, 2, 100);
        };
    } else if (std::strcmp(name, "OnReceiveAsrMessage") == 0) {
        call = [](KWIXCloudDelegate& d) {
            AsrMessage message;
            message.speakerUserId = "alice";
            message.text = "hello";
            d.OnReceiveAsrMessage(message);
        };
    } else {
        call = [](KWIXCloudDelegate& d) { d.OnAsrServiceError(1, "speech recognition unavailable"); };
    }
    return Emit(session, where, name, false, std::move(call));
}

}  // extern "C"
