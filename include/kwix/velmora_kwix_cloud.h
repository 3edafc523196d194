// Velmora engine: the session interface, the callback interface and the room parameters.
//
// Part of the engine's binary interface: the order of the virtual functions of KWIXCloud and
// KWIXCloudDelegate, every signature and every record layout must stay exactly as they are.
#ifndef VELMORA_KWIX_CLOUD_H
#define VELMORA_KWIX_CLOUD_H

#include <cstddef>
#include <cstdint>

#include "velmora_kwix_defines.h"

namespace velmora {
namespace kwix {

enum KWIXRole {
    KWIX_ROLE_ANCHOR = 0,
    KWIX_ROLE_AUDIENCE = 1,
};

enum KWIXScene {
    KWIX_SCENE_VIDEO_CALL = 0,
    KWIX_SCENE_AUDIO_CALL = 1,
    KWIX_SCENE_LIVE = 2,
    KWIX_SCENE_VOICE_CHAT = 3,
    KWIX_SCENE_RECORD = 4,
};

// AUDIO_OBTAIN_METHOD_GET pairs with KWIXCloud::GetAudioFrame, AUDIO_OBTAIN_METHOD_CALLBACK
// with the remote audio callbacks.
enum AudioObtainMethod {
    AUDIO_OBTAIN_METHOD_GET = 0,
    AUDIO_OBTAIN_METHOD_CALLBACK = 1,
};

enum NetworkQuality {
    NETWORK_QUALITY_UNKNOWN = 0,
    NETWORK_QUALITY_EXCELLENT = 1,
    NETWORK_QUALITY_GOOD = 2,
    NETWORK_QUALITY_POOR = 3,
    NETWORK_QUALITY_BAD = 4,
    NETWORK_QUALITY_VERY_BAD = 5,
    NETWORK_QUALITY_DOWN = 6,
};

enum ConnectionState {
    CONNECTION_STATE_INIT = 0,
    CONNECTION_STATE_DISCONNECTED = 1,
    CONNECTION_STATE_CONNECTING = 2,
    CONNECTION_STATE_CONNECTED = 3,
};

struct AudioObtainParams {
    AudioObtainParams()
        : audio_obtain_method(AUDIO_OBTAIN_METHOD_CALLBACK),
          enable_remote_audio_mix(false),
          output_sample_rate(16000),
          output_channels(1),
          output_frame_length_ms(20),
          output_audio_codec_type(AUDIO_CODEC_TYPE_PCM) {}

    AudioObtainMethod audio_obtain_method;
    bool enable_remote_audio_mix;
    int32_t output_sample_rate;
    int32_t output_channels;
    int32_t output_frame_length_ms;
    AudioCodecType output_audio_codec_type;
};

struct VELMORA_API EnterRoomParams {
    EnterRoomParams();
    ~EnterRoomParams();

    RoomParams room;
    KWIXScene scene;
    KWIXRole role;
    KwixString private_map_key;
    AudioObtainParams audio_obtain_params;
    bool use_pixel_frame_input;
    bool use_pixel_frame_output;
};

struct AudioEncodeParams {
    AudioEncodeParams()
        : channels(1), sample_rate(48000), frame_length_ms(20), bitrate_bps(51200), need_encode(true) {}

    int32_t channels;
    int32_t sample_rate;
    int32_t frame_length_ms;
    int32_t bitrate_bps;
    bool need_encode;
};

struct VideoEncodeParams {
    int32_t frame_rate = 15;
    int32_t bitrate_bps = 0;
    int32_t gop_in_seconds = 3;
};

struct NetworkQualityInfo {
    NetworkQualityInfo() : user_id(""), quality(NETWORK_QUALITY_DOWN) {}

    KwixString user_id;
    NetworkQuality quality;
};

struct UserInfo {
    KwixString user_id;
};

struct VADParams {
    bool enable;
};

struct VELMORA_API AudioVolumeEvaluateParams {
    AudioVolumeEvaluateParams();

    uint32_t interval;
};

struct VELMORA_API AsrMessage {
    AsrMessage();

    const char* speakerUserId;
    const char* text;
};

struct VELMORA_API AsrParams {
    AsrParams();

    const char* sourceLanguage;
};

// Receives everything that happens to a session. The engine calls these from its own
// threads; an implementation must not assume any particular thread.
//
// The interpreter-lock contract. The Python module implements this class; each of its
// methods takes the Python interpreter lock before it runs Python code and holds it until it
// returns. The same lock is held by every call that Python makes into KWIXCloud (see there).
// So a callback made on an engine thread waits while a Python thread is inside a session call,
// and an engine that waited inside such a call for a callback on another of its threads would
// wait for ever: every Python thread stops with it. A callback made synchronously on the
// calling thread itself proceeds, since that thread already holds the lock.
class KWIXCloudDelegate {
public:
    virtual void OnError(Error error) = 0;
    virtual void OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) = 0;
    virtual void OnEnterRoom() = 0;
    virtual void OnExitRoom() = 0;
    virtual void OnLocalAudioChannelCreated() = 0;
    virtual void OnLocalAudioChannelDestroyed() = 0;
    virtual void OnLocalVideoChannelCreated(StreamType stream_type) = 0;
    virtual void OnLocalVideoChannelDestroyed(StreamType stream_type) = 0;
    virtual void OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) = 0;
    virtual void OnRequestKeyFrame(StreamType stream_type) = 0;
    virtual void OnRemoteUserEnterRoom(const UserInfo& info) = 0;
    virtual void OnRemoteUserExitRoom(const UserInfo& info, int reason) = 0;
    virtual void OnRemoteAudioAvailable(const char* user_id, bool available) = 0;
    virtual void OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) = 0;
    virtual void OnRemoteVideoReceived(const char* user_id, StreamType type, const VideoFrame& frame) = 0;
    virtual void OnRemoteVideoReceived(const char* user_id, StreamType type, const PixelFrame& frame) = 0;
    virtual void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) = 0;
    virtual void OnRemoteMixedAudioReceived(const AudioFrame& frame) = 0;
    virtual void OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type,
                                      const char* message, size_t length) = 0;
    virtual void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq, const char* message,
                                       size_t length) = 0;
    virtual void OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code, uint32_t missed) {
        (void)user_id, (void)cmd_id, (void)error_code, (void)missed;
    }
    virtual void OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                                  size_t remote_quality_count) = 0;
    virtual void OnUserVoiceVolume(KWIXVolumeInfo* userVolumes, uint32_t userVolumesCount, uint32_t totalVolume) {
        (void)userVolumes, (void)userVolumesCount, (void)totalVolume;
    }
    virtual void OnReceiveAsrMessage(const AsrMessage& message) { (void)message; }
    virtual void OnAsrServiceError(int error, const char* errorInfo) { (void)error, (void)errorInfo; }
    virtual ~KWIXCloudDelegate() {}
};

// One session of the engine. Made by Create, ended by Destroy; never deleted directly.
//
// The interpreter-lock contract. The Python module calls Create and every member function
// below with the Python interpreter lock held for the whole call, and the delegate's
// callbacks need that lock (see KWIXCloudDelegate). So no call from Python may wait for a
// callback running on another engine thread, nor for a thread that may be delivering one:
// queue the work and return. Destroy is the one exception: the module calls it with the lock
// released, so Destroy may, and should, wait until no callback of the session can still run.
class VELMORA_API KWIXCloud {
public:
    static KWIXCloud* Create(KWIXCloudDelegate* delegate);
    static void Destroy(KWIXCloud* cloud);

    virtual int EnterRoom(const EnterRoomParams& params) = 0;
    virtual int ExitRoom() = 0;
    virtual int Subscribe(const char* user_id, StreamType type) = 0;
    virtual int Unsubscribe(const char* user_id, StreamType type) = 0;
    virtual int GetAudioFrame(AudioFrame* frame) = 0;
    virtual int CreateLocalAudioChannel(const AudioEncodeParams& params) = 0;
    virtual int SendAudioFrame(const AudioFrame& frame) = 0;
    virtual int SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) = 0;
    virtual int DestroyLocalAudioChannel() = 0;
    virtual int CreateLocalVideoChannel(StreamType type) = 0;
    virtual int SendVideoFrame(StreamType type, const VideoFrame& frame) = 0;
    virtual int SendVideoFrame(StreamType type, const PixelFrame& frame) = 0;
    virtual void SetVideoEncodeParam(StreamType type, const VideoEncodeParams& params) = 0;
    virtual int SendSeiMessage(int message_type, const char* message, size_t length) = 0;
    virtual bool SendCustomCmdMsg(uint32_t cmd_id, const char* message, size_t length, bool reliable,
                                  bool ordered) = 0;
    virtual int DestroyLocalVideoChannel(StreamType type) = 0;
    virtual void EnableVoiceActivityDetection(const VADParams& params) = 0;
    virtual int EnableAudioVolumeEvaluation(const AudioVolumeEvaluateParams& params) = 0;
    virtual int startAsrService(const AsrParams& params) = 0;
    virtual int stopAsrService() = 0;
    virtual int CallExperimentalAPI(const char* json) = 0;

protected:
    virtual ~KWIXCloud() {}
};

// x86-64 layout of every record of this header.
struct CloudLayoutCheck {
    static_assert(sizeof(KWIXRole) == 4 && sizeof(KWIXScene) == 4 && sizeof(AudioObtainMethod) == 4 &&
                      sizeof(NetworkQuality) == 4 && sizeof(ConnectionState) == 4,
                  "enumerations are 32 bits");

    static_assert(sizeof(AudioObtainParams) == 24, "AudioObtainParams size");
    static_assert(offsetof(AudioObtainParams, audio_obtain_method) == 0 &&
                      offsetof(AudioObtainParams, enable_remote_audio_mix) == 4 &&
                      offsetof(AudioObtainParams, output_sample_rate) == 8 &&
                      offsetof(AudioObtainParams, output_channels) == 12 &&
                      offsetof(AudioObtainParams, output_frame_length_ms) == 16 &&
                      offsetof(AudioObtainParams, output_audio_codec_type) == 20,
                  "AudioObtainParams fields");

    static_assert(sizeof(EnterRoomParams) == 112, "EnterRoomParams size");
    static_assert(offsetof(EnterRoomParams, room) == 0 && offsetof(EnterRoomParams, scene) == 64 &&
                      offsetof(EnterRoomParams, role) == 68 && offsetof(EnterRoomParams, private_map_key) == 72 &&
                      offsetof(EnterRoomParams, audio_obtain_params) == 80 &&
                      offsetof(EnterRoomParams, use_pixel_frame_input) == 104 &&
                      offsetof(EnterRoomParams, use_pixel_frame_output) == 105,
                  "EnterRoomParams fields");

    static_assert(sizeof(AudioEncodeParams) == 20, "AudioEncodeParams size");
    static_assert(offsetof(AudioEncodeParams, channels) == 0 && offsetof(AudioEncodeParams, sample_rate) == 4 &&
                      offsetof(AudioEncodeParams, frame_length_ms) == 8 &&
                      offsetof(AudioEncodeParams, bitrate_bps) == 12 &&
                      offsetof(AudioEncodeParams, need_encode) == 16,
                  "AudioEncodeParams fields");

    static_assert(sizeof(VideoEncodeParams) == 12 && offsetof(VideoEncodeParams, frame_rate) == 0 &&
                      offsetof(VideoEncodeParams, bitrate_bps) == 4 &&
                      offsetof(VideoEncodeParams, gop_in_seconds) == 8,
                  "VideoEncodeParams");

    static_assert(sizeof(NetworkQualityInfo) == 16 && offsetof(NetworkQualityInfo, user_id) == 0 &&
                      offsetof(NetworkQualityInfo, quality) == 8,
                  "NetworkQualityInfo");
    static_assert(sizeof(UserInfo) == 8 && offsetof(UserInfo, user_id) == 0, "UserInfo");
    static_assert(sizeof(VADParams) == 1 && offsetof(VADParams, enable) == 0, "VADParams");
    static_assert(sizeof(AudioVolumeEvaluateParams) == 4 && offsetof(AudioVolumeEvaluateParams, interval) == 0,
                  "AudioVolumeEvaluateParams");
    static_assert(sizeof(AsrMessage) == 16 && offsetof(AsrMessage, speakerUserId) == 0 &&
                      offsetof(AsrMessage, text) == 8,
                  "AsrMessage");
    static_assert(sizeof(AsrParams) == 8 && offsetof(AsrParams, sourceLanguage) == 0, "AsrParams");
};

}  // namespace kwix
}  // namespace velmora

#endif  // VELMORA_KWIX_CLOUD_H
