// H.264 encoding of one video stream, with OpenH264 (BSD licence): what the engine does to a
// pixel sender's pictures before anyone receives them.
//
// Constrained baseline (no B-frames, so every frame's dts is its pts), one slice, CAVLC, one
// thread per encoder (the video workers run streams side by side, media/video_workers.h), low
// complexity: a room encodes each sending stream once in real time on shared cores. The
// encoder makes key frames only when told (Encode's `key`), so the stream decides their
// times; a new picture size starts a new encoder, whose first frame is a key frame.
// Parameter sets (SPS, PPS) go with every key frame. The output is Annex B: start codes, then
// NAL units.
#ifndef VELMORA_ENGINE_MEDIA_H264_ENCODER_H
#define VELMORA_ENGINE_MEDIA_H264_ENCODER_H

#include <cstdint>
#include <string>

#include "media/video_picture.h"

class ISVCEncoder;

namespace velmora {
namespace loopback {

// The encoder's frame rate range.
constexpr int kMinEncodeFrameRate = 1;
constexpr int kMaxEncodeFrameRate = 60;
// Rates outside this range are brought into it.
constexpr int kMinEncodeBitrateBps = 16000;
constexpr int kMaxEncodeBitrateBps = 50000000;

// The rate the engine picks for a stream whose VideoEncodeParams bitrate is 0:
// kDefaultBitsPerPixel bits per pixel per frame at the stream's frame rate, within
// kMinDefaultBitrateBps..kMaxDefaultBitrateBps (1280x720 at 30 frames/s: 1,935,360 b/s;
// 640x360 at 15: 241,920 b/s).
constexpr double kDefaultBitsPerPixel = 0.07;
constexpr int kMinDefaultBitrateBps = 64000;
constexpr int kMaxDefaultBitrateBps = 8000000;
int DefaultVideoBitrate(int width, int height, int frame_rate);

struct EncodedPicture {
    std::string bytes;
    bool key = false;
};

class H264Encoder {
public:
    H264Encoder() = default;
    ~H264Encoder();
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    // One picture (even sides, kMinPictureSide to kMaxPictureSide) at `bitrate_bps` and
    // `frame_rate` (changed on the fly when they differ from the last call's). False, with
    // the reason in *error, when OpenH264 refuses; the next call starts a new encoder.
    bool Encode(const I420Picture& picture, int64_t timestamp_ms, bool key, int bitrate_bps, int frame_rate,
                EncodedPicture* out, std::string* error);

private:
    bool Start(int width, int height, int bitrate_bps, int frame_rate, std::string* error);
    void Stop();

    ISVCEncoder* encoder_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    int bitrate_bps_ = 0;
    int frame_rate_ = 0;
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_H264_ENCODER_H
