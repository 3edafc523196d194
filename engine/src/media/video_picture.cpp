#include "media/video_picture.h"

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

void CopyPlane(const uint8_t* from, int from_stride, uint8_t* to, int width, int height) {
    for (int y = 0; y < height; ++y) {
        std::memcpy(to + static_cast<size_t>(y) * width, from + static_cast<size_t>(y) * from_stride,
                    static_cast<size_t>(width));
    }
}

// A chroma plane of `step_x` by `step_y` samples per 4:2:0 sample (1 or 2 each) brought down to
// (width / 2) x (height / 2) by averaging, rounded.
void HalvePlane(const uint8_t* from, int stride, int step_x, int step_y, uint8_t* to, int width, int height) {
    const int half_w = width / 2;
    const int count = step_x * step_y;
    for (int y = 0; y < height / 2; ++y) {
        for (int x = 0; x < half_w; ++x) {
            int sum = 0;
            for (int dy = 0; dy < step_y; ++dy) {
                const uint8_t* row = from + static_cast<size_t>(y * step_y + dy) * stride;
                for (int dx = 0; dx < step_x; ++dx) sum += row[x * step_x + dx];
            }
            to[static_cast<size_t>(y) * half_w + x] = static_cast<uint8_t>((sum + count / 2) / count);
        }
    }
}

// BT.601, limited range, in 8.8 fixed point: Y of one pixel, U and V of a 2x2 block's mean.
uint8_t LumaOf(int r, int g, int b) { return static_cast<uint8_t>((66 * r + 129 * g + 25 * b + 0x1080) >> 8); }
uint8_t BlueDifference(int r, int g, int b) { return static_cast<uint8_t>((112 * b - 74 * g - 38 * r + 0x8080) >> 8); }
uint8_t RedDifference(int r, int g, int b) { return static_cast<uint8_t>((112 * r - 94 * g - 18 * b + 0x8080) >> 8); }

// RGBA rows (R first) of even width and height into the planes of `out`, alpha dropped.
void RgbaToI420(const uint8_t* rgba, int stride, I420Picture* out) {
    const int width = out->width;
    uint8_t* luma = Mutable(*out, 0);
    uint8_t* u = Mutable(*out, out->luma_size());
    uint8_t* v = Mutable(*out, out->luma_size() + out->chroma_size());
    for (int y = 0; y < out->height; ++y) {
        const uint8_t* row = rgba + static_cast<size_t>(y) * stride;
        uint8_t* to = luma + static_cast<size_t>(y) * width;
        for (int x = 0; x < width; ++x) to[x] = LumaOf(row[4 * x], row[4 * x + 1], row[4 * x + 2]);
    }
    for (int y = 0; y < out->height; y += 2) {
        const uint8_t* top = rgba + static_cast<size_t>(y) * stride;
        const uint8_t* bottom = top + stride;
        const size_t at = static_cast<size_t>(y / 2) * (width / 2);
        for (int x = 0; x < width; x += 2) {
            const int r = (top[4 * x] + top[4 * x + 4] + bottom[4 * x] + bottom[4 * x + 4] + 2) / 4;
            const int g = (top[4 * x + 1] + top[4 * x + 5] + bottom[4 * x + 1] + bottom[4 * x + 5] + 2) / 4;
            const int b = (top[4 * x + 2] + top[4 * x + 6] + bottom[4 * x + 2] + bottom[4 * x + 6] + 2) / 4;
            u[at + x / 2] = BlueDifference(r, g, b);
            v[at + x / 2] = RedDifference(r, g, b);
        }
    }
}

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
    RgbaToI420(rgba, stride, &p);
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
    CopyPlane(y, y_stride, dy, width, height);
    switch (chroma) {
        case Chroma::kMono:
            std::memset(du, 128, 2 * p.chroma_size());
            break;
        case Chroma::k420:
            CopyPlane(u, u_stride, du, width / 2, height / 2);
            CopyPlane(v, v_stride, dv, width / 2, height / 2);
            break;
        case Chroma::k422:
            HalvePlane(u, u_stride, 1, 2, du, width, height);
            HalvePlane(v, v_stride, 1, 2, dv, width, height);
            break;
        case Chroma::k444:
            HalvePlane(u, u_stride, 2, 2, du, width, height);
            HalvePlane(v, v_stride, 2, 2, dv, width, height);
            break;
    }
    *out = std::move(p);
    return true;
}

}  // namespace loopback
}  // namespace velmora
