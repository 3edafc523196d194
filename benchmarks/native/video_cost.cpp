// The cost of one video frame through each step of the loopback engine's video path,
// measured on the engine's own code with no Python call around it. Built on demand by
// benchmarks/bench_video.py (target velmora_video_cost); not part of the shipped engine.
//
//   velmora_video_cost STEP WIDTH HEIGHT FRAMES   prints nanoseconds per frame, averaged over FRAMES
//
// Steps, on a moving picture (a ramp and texture bands, as velmora.testing's pattern):
// "copy" (memcpy of the I420 frame: the floor), "convert" (RGBA to I420), "encode"
// (H.264 at the rate the engine picks for the size at 30 frames/s, OpenH264), "decode" (those
// frames decoded to I420 again).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kwix/velmora_kwix_defines.h"
#include "media/h264_encoder.h"
#include "media/video_decoder.h"
#include "media/video_picture.h"
#include "timing.h"

namespace velmora {
namespace loopback {
namespace {

using bench::g_sink;
using bench::Time;

constexpr int kFrameRate = 30;

I420Picture Pattern(int index, int width, int height) {
    I420Picture p;
    p.width = width;
    p.height = height;
    p.bytes.resize(p.luma_size() * 3 / 2);
    uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise = noise * 1103515245u + 12345u;
            const bool band = (y / 8) % 2 == 0;
            p.bytes[static_cast<size_t>(y) * width + x] =
                static_cast<char>(band ? (x + y + 4 * index) & 0xFF : (noise >> 16) & 0xFF);
        }
    }
    std::memset(&p.bytes[p.luma_size()], 128, p.luma_size() / 2);
    return p;
}

int64_t Measure(const std::string& step, int width, int height, int frames) {
    std::vector<I420Picture> pictures;
    for (int i = 0; i < 8; ++i) pictures.push_back(Pattern(i, width, height));
    if (step == "copy") {
        std::string copy(pictures[0].bytes.size(), '\0');
        return Time(frames, [&](int i) {
            std::memcpy(&copy[0], pictures[i % 8].bytes.data(), copy.size());
            g_sink = g_sink + copy[static_cast<size_t>(i) % copy.size()];
        });
    }
    if (step == "convert") {
        kwix::PixelFrame rgba;
        rgba.width = static_cast<uint32_t>(width);
        rgba.height = static_cast<uint32_t>(height);
        rgba.format = kwix::VIDEO_PIXEL_FORMAT_RGBA;
        std::vector<uint8_t> data(static_cast<size_t>(width) * height * 4);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
        rgba.SetData(data.data(), data.size());
        return Time(frames, [&](int) { g_sink = g_sink + static_cast<int64_t>(ToI420(rgba).bytes.size()); });
    }
    H264Encoder encoder;
    const int bitrate = DefaultVideoBitrate(width, height, kFrameRate);
    std::vector<EncodedPicture> coded(static_cast<size_t>(frames));
    std::string error;
    const int64_t encode = Time(frames, [&](int i) {
        if (!encoder.Encode(pictures[i % 8], i * 1000 / kFrameRate, i == 0, bitrate, kFrameRate, &coded[i], &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
    });
    if (step == "encode") return encode;
    std::unique_ptr<VideoDecoder> decoder = VideoDecoder::Make(kwix::VIDEO_CODEC_TYPE_H264, &error);
    std::vector<DecodedPicture> out;
    return Time(frames, [&](int i) {
        out.clear();
        const auto& bytes = coded[i].bytes;
        if (decoder->Decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0, &out, &error) !=
            VideoDecoder::Result::kDecoded) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        g_sink = g_sink + static_cast<int64_t>(out.size());
    });
}

}  // namespace
}  // namespace loopback
}  // namespace velmora

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s copy|convert|encode|decode WIDTH HEIGHT FRAMES\n", argv[0]);
        return 2;
    }
    std::printf("%lld\n", static_cast<long long>(velmora::loopback::Measure(argv[1], std::atoi(argv[2]),
                                                                            std::atoi(argv[3]), std::atoi(argv[4]))));
    return 0;
}
