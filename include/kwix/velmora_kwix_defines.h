// Velmora engine: shared definitions (text, room parameters, media frames, result codes).
//
// This header is part of the engine's binary interface. Field order, field widths, the
// order of virtual functions and every function signature must stay exactly as they are:
// the Python module is compiled against this file and must work with any engine library
// that honours it. The static_asserts at the end pin the x86-64 layout of every record.
#ifndef VELMORA_KWIX_DEFINES_H
#define VELMORA_KWIX_DEFINES_H

#include <cstddef>
#include <cstdint>

// Symbols of the engine library stay visible even when it is built with hidden visibility.
#define VELMORA_API __attribute__((visibility("default")))

namespace velmora {
namespace kwix {

// Result and error codes. Operations return 0 or one of the negative values.
enum Error {
    ERR_OK = 0,
    ERR_FAILED = -1,
    ERR_INVALID_PARAMETER = -2,
    ERR_INVALID_OPERATION = -3,
    ERR_NOT_SUPPORTED = -4,
    ERR_REQUEST_SERVER_TIMEOUT = -6,
    ERR_SERVER_PROCESS_FAILED = -7,
    ERR_READ_TRY_AGAIN = -102,
    ERR_NETWORK_UNREACHABLE = -103,
    ERR_ENTER_ROOM_FAILED = -3301,
    ERR_INVALID_SDK_APP_ID = -3317,
    ERR_INVALID_ROOM_ID = -3318,
    ERR_INVALID_USER_ID = -3319,
    ERR_INVALID_USER_SIG = -3320,
    ERR_SERVICE_SUSPENDED = -100013,
    ERR_BANNED_BY_SERVER = -205,
};

enum VideoCodecType {
    VIDEO_CODEC_TYPE_H264 = 0,
    VIDEO_CODEC_TYPE_H265 = 1,
};

enum AudioCodecType {
    AUDIO_CODEC_TYPE_PCM = 0,
    AUDIO_CODEC_TYPE_OPUS = 1,
    AUDIO_CODEC_TYPE_AAC = 2,
};

enum StreamType {
    STREAM_TYPE_UNKNOWN = -1,
    STREAM_TYPE_AUDIO = 1,
    STREAM_TYPE_VIDEO_HIGH = 2,
    STREAM_TYPE_VIDEO_LOW = 3,
    STREAM_TYPE_VIDEO_AUX = 7,
};

// Rotation indices, not degrees.
enum VideoRotation {
    VIDEO_ROTATION_0 = 0,
    VIDEO_ROTATION_90 = 1,
    VIDEO_ROTATION_180 = 2,
    VIDEO_ROTATION_270 = 3,
};

enum VideoPixelFormat {
    VIDEO_PIXEL_FORMAT_YUV420p = 0,
    VIDEO_PIXEL_FORMAT_YUVA420p = 1,
    VIDEO_PIXEL_FORMAT_RGBA = 2,
};

enum WatermarkType {
    kWatermarkImage = 1,
    kWatermarkText = 2,
    kWatermarkTimestamp = 3,
};

// Owned, NUL-terminated text. The storage behind str_ belongs to the engine; GetValue()
// may return a null pointer.
class VELMORA_API KwixString {
public:
    KwixString();
    KwixString(const char* value);
    KwixString(const KwixString& other);
    ~KwixString();
    KwixString& operator=(const KwixString& other);
    KwixString& operator=(const char* value);
    void SetValue(const char* value);
    const char* GetValue() const;

private:
    friend struct LayoutCheck;
    void* str_;
};

// Byte buffer used by the encryption hooks.
class VELMORA_API KwixBuffer {
public:
    KwixBuffer();
    KwixBuffer(const KwixBuffer& other);
    KwixBuffer& operator=(const KwixBuffer& other);
    ~KwixBuffer();
    void SetData(const uint8_t* data, size_t size);
    void SetSize(size_t size);
    uint8_t* data();
    const uint8_t* cdata() const;
    size_t size() const;
    const void* handle() const;

private:
    friend struct LayoutCheck;
    void* handle_;
};

struct VELMORA_API EncryptionData {
    EncryptionData();
    ~EncryptionData();

    int32_t room_id;
    KwixString str_room_id;
    KwixString user_id;
    StreamType stream_type;
    const KwixBuffer* decrypted;
    KwixBuffer* encrypted;
};

struct VELMORA_API DecryptionData {
    DecryptionData();
    ~DecryptionData();

    int32_t room_id;
    KwixString str_room_id;
    KwixString user_id;
    StreamType stream_type;
    const KwixBuffer* encrypted;
    KwixBuffer* decrypted;
};

class EncryptionDelegate {
public:
    virtual bool OnDataEncrypt(EncryptionData& data) = 0;
    virtual ~EncryptionDelegate() {}
};

class DecryptionDelegate {
public:
    virtual bool OnDataDecrypt(DecryptionData& data) = 0;
    virtual ~DecryptionDelegate() {}
};

struct VELMORA_API KWIXVolumeInfo {
    KWIXVolumeInfo();

    KwixString user_id;
    uint32_t volume;
};

struct VELMORA_API RoomParams {
    RoomParams();
    RoomParams(const RoomParams& other);
    RoomParams& operator=(const RoomParams& other) = default;
    ~RoomParams();

    uint32_t sdk_app_id;
    KwixString user_id;
    KwixString user_sig;
    uint32_t room_id;
    KwixString str_room_id;
    void* custom_data;
    DecryptionDelegate* decryption_delegate;
    EncryptionDelegate* encryption_delegate;
};

// Media frames. The payload lives behind handle_ and is reachable only through the
// engine's operations; data() points to at least size() bytes while size() is not 0.
class VELMORA_API AudioFrame {
public:
    AudioFrame();
    AudioFrame(const AudioFrame& other);
    AudioFrame& operator=(const AudioFrame& other);
    ~AudioFrame();

    void SetData(const uint8_t* data, size_t size);
    void SetExtraData(const uint8_t* data, size_t size);
    const uint8_t* data() const;
    size_t size() const;
    const void* handle() const;

    int32_t sample_rate;
    int32_t channels;
    int32_t bits_per_sample;
    AudioCodecType codec;
    uint32_t pts;
    bool has_voice;

private:
    friend struct LayoutCheck;
    void* handle_;
};

class VELMORA_API VideoFrame {
public:
    VideoFrame();
    VideoFrame(const VideoFrame& other);
    VideoFrame& operator=(const VideoFrame& other);
    ~VideoFrame();

    void SetData(const uint8_t* data, size_t size);
    const uint8_t* data() const;
    size_t size() const;
    const void* handle() const;

    uint32_t pts;
    uint32_t dts;
    bool is_key_frame;
    VideoCodecType codec;
    VideoRotation rotation;

private:
    friend struct LayoutCheck;
    void* handle_;
};

class VELMORA_API PixelFrame {
public:
    PixelFrame();
    PixelFrame(const PixelFrame& other);
    PixelFrame& operator=(const PixelFrame& other);
    ~PixelFrame();

    void SetData(const uint8_t* data, size_t size);
    const uint8_t* data() const;
    size_t size() const;
    const void* handle() const;

    uint32_t pts;
    uint32_t width;
    uint32_t height;
    VideoPixelFormat format;
    VideoRotation rotation;

private:
    friend struct LayoutCheck;
    void* handle_;
};

// x86-64 layout of every record of this header. A failure here means the header no longer
// matches the engine library's binary interface.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
struct LayoutCheck {
    static_assert(sizeof(Error) == 4 && sizeof(StreamType) == 4 && sizeof(VideoCodecType) == 4 &&
                      sizeof(AudioCodecType) == 4 && sizeof(VideoRotation) == 4 &&
                      sizeof(VideoPixelFormat) == 4 && sizeof(WatermarkType) == 4,
                  "enumerations are 32 bits");

    static_assert(sizeof(KwixString) == 8 && offsetof(KwixString, str_) == 0, "KwixString");
    static_assert(sizeof(KwixBuffer) == 8 && offsetof(KwixBuffer, handle_) == 0, "KwixBuffer");

    static_assert(sizeof(EncryptionData) == 48, "EncryptionData size");
    static_assert(offsetof(EncryptionData, room_id) == 0 && offsetof(EncryptionData, str_room_id) == 8 &&
                      offsetof(EncryptionData, user_id) == 16 && offsetof(EncryptionData, stream_type) == 24 &&
                      offsetof(EncryptionData, decrypted) == 32 && offsetof(EncryptionData, encrypted) == 40,
                  "EncryptionData fields");
    static_assert(sizeof(DecryptionData) == 48, "DecryptionData size");
    static_assert(offsetof(DecryptionData, room_id) == 0 && offsetof(DecryptionData, str_room_id) == 8 &&
                      offsetof(DecryptionData, user_id) == 16 && offsetof(DecryptionData, stream_type) == 24 &&
                      offsetof(DecryptionData, encrypted) == 32 && offsetof(DecryptionData, decrypted) == 40,
                  "DecryptionData fields");
    static_assert(sizeof(KWIXVolumeInfo) == 16 && offsetof(KWIXVolumeInfo, user_id) == 0 &&
                      offsetof(KWIXVolumeInfo, volume) == 8,
                  "KWIXVolumeInfo");

    static_assert(sizeof(RoomParams) == 64, "RoomParams size");
    static_assert(offsetof(RoomParams, sdk_app_id) == 0 && offsetof(RoomParams, user_id) == 8 &&
                      offsetof(RoomParams, user_sig) == 16 && offsetof(RoomParams, room_id) == 24 &&
                      offsetof(RoomParams, str_room_id) == 32 && offsetof(RoomParams, custom_data) == 40 &&
                      offsetof(RoomParams, decryption_delegate) == 48 &&
                      offsetof(RoomParams, encryption_delegate) == 56,
                  "RoomParams fields");

    static_assert(sizeof(AudioFrame) == 32, "AudioFrame size");
    static_assert(offsetof(AudioFrame, sample_rate) == 0 && offsetof(AudioFrame, channels) == 4 &&
                      offsetof(AudioFrame, bits_per_sample) == 8 && offsetof(AudioFrame, codec) == 12 &&
                      offsetof(AudioFrame, pts) == 16 && offsetof(AudioFrame, has_voice) == 20 &&
                      offsetof(AudioFrame, handle_) == 24,
                  "AudioFrame fields");
    static_assert(sizeof(VideoFrame) == 32, "VideoFrame size");
    static_assert(offsetof(VideoFrame, pts) == 0 && offsetof(VideoFrame, dts) == 4 &&
                      offsetof(VideoFrame, is_key_frame) == 8 && offsetof(VideoFrame, codec) == 12 &&
                      offsetof(VideoFrame, rotation) == 16 && offsetof(VideoFrame, handle_) == 24,
                  "VideoFrame fields");
    static_assert(sizeof(PixelFrame) == 32, "PixelFrame size");
    static_assert(offsetof(PixelFrame, pts) == 0 && offsetof(PixelFrame, width) == 4 &&
                      offsetof(PixelFrame, height) == 8 && offsetof(PixelFrame, format) == 12 &&
                      offsetof(PixelFrame, rotation) == 16 && offsetof(PixelFrame, handle_) == 24,
                  "PixelFrame fields");
};
#pragma GCC diagnostic pop

}  // namespace kwix
}  // namespace velmora

#endif  // VELMORA_KWIX_DEFINES_H
