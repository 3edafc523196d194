// Decoding of one encoded video stream into I420 pictures, for pixel receivers: H.264 with
// OpenH264's decoder (BSD), H.265 with libde265 (LGPL-3.0, linked dynamically). Debian's
// FFmpeg libavcodec is not used: it is built with --enable-gpl (its avcodec_license() says
// "GPL version 2 or later"), and nothing GPL is linked into the engine.
//
// Payloads are Annex B (start codes, then NAL units), one frame each, as senders send them and
// as the engine's encoder makes them. Whatever a payload holds, decoding never reads outside
// it: a payload that does not decode is reported as such, and the decoder is made anew before
// the next one, so one broken frame cannot leave a bad state behind.
#ifndef VELMORA_ENGINE_MEDIA_VIDEO_DECODER_H
#define VELMORA_ENGINE_MEDIA_VIDEO_DECODER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kwix/velmora_kwix_defines.h"
#include "media/video_picture.h"

namespace velmora {
namespace loopback {

// True when the payload holds a picture a decoder can start from: an H.264 IDR slice, an
// H.265 IRAP picture (IDR, CRA, BLA).
bool IsKeyPayload(kwix::VideoCodecType codec, const uint8_t* data, size_t size);

struct DecodedPicture {
    I420Picture picture;
    uint32_t pts = 0;
};

class VideoDecoder {
public:
    enum class Result {
        kDecoded,  // the payload decoded; *out holds the pictures it completed (maybe none yet)
        kBroken,   // it did not decode: nothing is delivered from it
    };

    // Null, with the reason in *error, for a codec the engine cannot decode or a decoder
    // that cannot be made.
    static std::unique_ptr<VideoDecoder> Make(kwix::VideoCodecType codec, std::string* error);
    virtual ~VideoDecoder() = default;

    virtual Result Decode(const uint8_t* data, size_t size, uint32_t pts, std::vector<DecodedPicture>* out,
                          std::string* error) = 0;
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_VIDEO_DECODER_H
