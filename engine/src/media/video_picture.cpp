#include "media/video_picture.h"

#include <libyuv/convert.h>
#include <libyuv/planar_functions.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace velmora {
namespace loopback {

using namespace kwix;

namespace {

bool IsYuv(VideoPixelFormat format) {
    return format == VIDEO_PIXEL_FORMAT_YUV420p || format == VIDEO_PIXEL_FORMAT_YUVA420p;
}

int Even(int side) { return side + (side & 1); }

I420Picture Blank(int width, int height) {
    I420Picture p;
    p.width = width;
    p.height = height;
    p.bytes.resize(p.luma_size() + 2 * p.chroma_size());
    return p;
}

uint8_t* Mutable(I420Picture& p, size_t offset) { return reinterpret_cast<uint8_t*>(&p.bytes[offset]); }

}  // namespace

size_t PixelFrameBytes(VideoPixelFormat format, uint32_t width, uint32_t height) {
    const size_t luma = static_cast<size_t>(width) * height;
    const size_t chroma = static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2);
    switch (format) {
        case VIDEO_PIXEL_FORMAT_YUV420p:
            return luma + 2 * chroma;
        case VIDEO_PIXEL_FORMAT_YUVA420p:
            return 2 * luma + 2 * chroma;
        case VIDEO_PIXEL_FORMAT_RGBA:
            return 4 * luma;
    }
    return 0;
}

int CheckPixelFrame(const PixelFrame& frame) {
    const auto side_ok = [](uint32_t side) { return side >= kMinPictureSide && side <= kMaxPictureSide; };
    if (!side_ok(frame.width) || !side_ok(frame.height)) return ERR_INVALID_PARAMETER;
    if (IsYuv(frame.format) && ((frame.width | frame.height) & 1) != 0) return ERR_INVALID_PARAMETER;
    const size_t expected = PixelFrameBytes(frame.format, frame.width, frame.height);
    return expected != 0 && frame.size() == expected ? ERR_OK : ERR_INVALID_PARAMETER;
}

I420Picture ToI420(const PixelFrame& frame) {
    const int width = static_cast<int>(frame.width);
    const int height = static_cast<int>(frame.height);
    if (IsYuv(frame.format)) {
        // Y, U and V lead both layouts; the alpha plane that may follow is dropped.
        I420Picture p;
        p.width = width;
        p.height = height;
        p.bytes.assign(reinterpret_cast<const char*>(frame.data()), p.luma_size() + 2 * p.chroma_size());
        return p;
    }
    const uint8_t* rgba = frame.data();
    int stride = 4 * width;
    std::vector<uint8_t> padded;
    if (((width | height) & 1) != 0) {
        // H.264 codes 4:2:0 in whole chroma samples: an odd side grows by its last pixel.
        const int padded_stride = 4 * Even(width);
        padded.resize(static_cast<size_t>(padded_stride) * Even(height));
        for (int row = 0; row < Even(height); ++row) {
            const uint8_t* from = rgba + static_cast<size_t>(std::min(row, height - 1)) * stride;
            uint8_t* to = padded.data() + static_cast<size_t>(row) * padded_stride;
            std::memcpy(to, from, static_cast<size_t>(stride));
            if (width & 1) std::memcpy(to + stride, from + stride - 4, 4);
        }
        rgba = padded.data();
        stride = padded_stride;
    }
    I420Picture p = Blank(Even(width), Even(height));
    // libyuv names formats by the little-endian word: its ABGR is R, G, B, A in memory.
    libyuv::ABGRToI420(rgba, stride, Mutable(p, 0), p.width, Mutable(p, p.luma_size()), p.width / 2,
                       Mutable(p, p.luma_size() + p.chroma_size()), p.width / 2, p.width, p.height);
    return p;
}

bool FromPlanes(Chroma chroma, int width, int height, const uint8_t* y, int y_stride, const uint8_t* u,
                int u_stride, const uint8_t* v, int v_stride, I420Picture* out) {
    if (width < 2 || height < 2 || width > kMaxDecodedSide || height > kMaxDecodedSide || ((width | height) & 1)) {
        return false;
    }
    I420Picture p = Blank(width, height);
    uint8_t* dy = Mutable(p, 0);
    uint8_t* du = Mutable(p, p.luma_size());
    uint8_t* dv = Mutable(p, p.luma_size() + p.chroma_size());
    const int half = width / 2;
    int failed = 0;
    switch (chroma) {
        case Chroma::kMono:
            libyuv::CopyPlane(y, y_stride, dy, width, width, height);
            std::memset(du, 128, 2 * p.chroma_size());
            break;
        case Chroma::k420:
            failed = libyuv::I420Copy(y, y_stride, u, u_stride, v, v_stride, dy, width, du, half, dv, half, width, height);
            break;
        case Chroma::k422:
            failed = libyuv::I422ToI420(y, y_stride, u, u_stride, v, v_stride, dy, width, du, half, dv, half, width,
                                        height);
            break;
        case Chroma::k444:
            failed = libyuv::I444ToI420(y, y_stride, u, u_stride, v, v_stride, dy, width, du, half, dv, half, width,
                                        height);
            break;
    }
    if (failed != 0) return false;
    *out = std::move(p);
    return true;
}

}  // namespace loopback
}  // namespace velmora
