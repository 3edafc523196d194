// Pictures as the video path handles them, and the check of what a pixel sender sends.
//
// The path works on I420 only (planar 8-bit 4:2:0: the Y plane, then U, then V, rows packed
// without padding): the one format the H.264 encoder takes and pixel receivers get. A sent
// PixelFrame becomes I420 through ToI420: YUV420p as it is, YUVA420p without its alpha plane,
// RGBA converted (BT.601 limited range; each 2x2 block's chroma from its mean colour).
// Decoded pictures become I420 through FromPlanes, from 4:2:0, 4:2:2 or 4:4:4 planes with any
// row stride (chroma averaged down).
//
// The conversions are the engine's own: Debian's libyuv has no pkg-config file, no archive
// that links into a shared library, and a shared library that pulls in libjpeg, which a
// repaired wheel then cannot find beside it (auditwheel grafts it without a search path).
// What the engine needs of it is these few loops.
//
// A PixelFrame's payload is planar in the order its format names: YUV420p Y, U, V;
// YUVA420p Y, U, V, A (A at full size); RGBA four bytes per pixel, R first, rows packed.
#ifndef VELMORA_ENGINE_MEDIA_VIDEO_PICTURE_H
#define VELMORA_ENGINE_MEDIA_VIDEO_PICTURE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "kwix/velmora_kwix_defines.h"

namespace velmora {
namespace loopback {

// Each side of a sent picture, in pixels.
constexpr int kMinPictureSide = 16;
constexpr int kMaxPictureSide = 4096;

struct I420Picture {
    int width = 0;  // even: H.264 codes 4:2:0 in whole chroma samples
    int height = 0;
    std::string bytes;  // Y, U, V; width * height * 3 / 2

    size_t luma_size() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }
    size_t chroma_size() const { return luma_size() / 4; }
    const uint8_t* y() const { return reinterpret_cast<const uint8_t*>(bytes.data()); }
    const uint8_t* u() const { return y() + luma_size(); }
    const uint8_t* v() const { return u() + chroma_size(); }
};

// Bytes of a PixelFrame of that format and size; 0 for an unknown format.
size_t PixelFrameBytes(kwix::VideoPixelFormat format, uint32_t width, uint32_t height);

// 0, or ERR_INVALID_PARAMETER for a frame the video path cannot take: an unknown format, a
// side outside kMinPictureSide..kMaxPictureSide, an odd side in a YUV format, or a payload
// that is not exactly PixelFrameBytes long.
int CheckPixelFrame(const kwix::PixelFrame& frame);

// The checked frame as I420 at the size the encoder codes it: its own, but an odd side of an
// RGBA frame grows by one pixel (its last column or row repeated).
I420Picture ToI420(const kwix::PixelFrame& frame);

enum class Chroma { kMono, k420, k422, k444 };
// A decoded picture's planes (chroma planes of the size `chroma` implies; none for kMono,
// which gets neutral chroma) as I420; false for a size the path does not take (sides outside
// 2..kMaxDecodedSide or odd).
constexpr int kMaxDecodedSide = 8192;
bool FromPlanes(Chroma chroma, int width, int height, const uint8_t* y, int y_stride, const uint8_t* u,
                int u_stride, const uint8_t* v, int v_stride, I420Picture* out);

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_VIDEO_PICTURE_H
