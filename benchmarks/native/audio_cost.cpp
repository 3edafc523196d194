// The cost of one 20 ms frame through each stage of the loopback engine's audio path,
// measured on the engine's own media code with no Python call around it. Built on demand by
// benchmarks/bench_media.py (target velmora_audio_cost); not part of the shipped engine.
//
//   velmora_audio_cost STAGE FRAMES   prints nanoseconds per frame, averaged over FRAMES
//
// Stages: "copy" (memcpy of 20 ms of 48 kHz stereo), "convert" (that frame to 16 kHz mono),
// "convert-same-rate" (48 kHz stereo to 48 kHz mono), "encode" and "decode" (Opus, 48 kHz
// mono at 51200 b/s, the default channel, at libopus's default complexity, on a 1 kHz tone),
// "encode48" and "encode48-alone" (one frame of each of 48 such channels, a 48-member room's
// encoding for one frame, spread over the codec workers and on one thread), "mix48" (one
// tick's 10 ms mix of a 48-member room, every member a speaker, 48 kHz mono, one output per
// member).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "media/codec_workers.h"
#include "media/opus_codec.h"
#include "media/pcm_converter.h"
#include "timing.h"

namespace velmora {
namespace loopback {

namespace {

using bench::g_sink;
using bench::Time;

std::vector<int16_t> Tone(PcmFormat f, size_t frames) {
    std::vector<int16_t> out(static_cast<size_t>(f.rate) / 50 * frames * f.channels);
    for (size_t i = 0; i < out.size(); ++i) {
        const size_t n = i / f.channels;
        out[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 1000.0 * n / f.rate));
    }
    return out;
}

}  // namespace

int64_t MeasureAudioCostNs(const std::string& stage, int frames) {
    if (frames < 1) frames = 1;
    const PcmFormat stereo48{48000, 2};
    const PcmFormat mono48{48000, 1};
    const size_t stereo_frame = stereo48.SamplesIn(20);
    const size_t mono_frame = mono48.SamplesIn(20);
    if (stage == "copy" || stage == "convert" || stage == "convert-same-rate") {
        const std::vector<int16_t> in = Tone(stereo48, static_cast<size_t>(frames));
        std::vector<int16_t> out;
        out.reserve(stereo_frame);
        if (stage == "copy") {
            std::vector<int16_t> copy(stereo_frame);
            return Time(frames, [&](int i) {
                std::memcpy(copy.data(), in.data() + i * stereo_frame, stereo_frame * sizeof(int16_t));
                g_sink = g_sink + copy[i % stereo_frame];
            });
        }
        PcmConverter c(stereo48, stage == "convert" ? PcmFormat{16000, 1} : mono48);
        return Time(frames, [&](int i) {
            out.clear();
            c.Convert(in.data() + i * stereo_frame, stereo_frame, &out);
            g_sink = g_sink + static_cast<int64_t>(out.size());
        });
    }
    if (stage == "encode" || stage == "decode") {
        const std::vector<int16_t> in = Tone(mono48, static_cast<size_t>(frames));
        OpusStreamEncoder encoder(mono48, 51200);
        std::vector<std::string> packets(static_cast<size_t>(frames));
        const int64_t encode =
            Time(frames, [&](int i) { encoder.Encode(in.data() + i * mono_frame, mono_frame, &packets[i]); });
        if (stage == "encode") return encode;
        OpusStreamDecoder decoder(mono48);
        std::vector<int16_t> out;
        return Time(frames, [&](int i) {
            out.clear();
            decoder.Decode(reinterpret_cast<const uint8_t*>(packets[i].data()), packets[i].size(), &out);
            g_sink = g_sink + static_cast<int64_t>(out.size());
        });
    }
    if (stage == "encode48" || stage == "encode48-alone") {
        constexpr size_t kMembers = 48;
        const std::vector<int16_t> in = Tone(mono48, static_cast<size_t>(frames));
        std::vector<std::unique_ptr<OpusStreamEncoder>> encoders;
        for (size_t m = 0; m < kMembers; ++m) encoders.emplace_back(new OpusStreamEncoder(mono48, 51200));
        std::vector<std::string> packets(kMembers);
        const bool spread = stage == "encode48";
        return Time(frames, [&](int i) {
            const auto job = [&](size_t m) { encoders[m]->Encode(in.data() + i * mono_frame, mono_frame, &packets[m]); };
            if (spread) {
                CodecWorkers::Instance().Run(kMembers, job);
            } else {
                for (size_t m = 0; m < kMembers; ++m) job(m);
            }
        });
    }
    if (stage == "mix48") {
        constexpr size_t kMembers = 48;
        const size_t block = mono48.SamplesIn(10);
        const std::vector<int16_t> in = Tone(mono48, 1);
        std::vector<int32_t> sum(block);
        std::vector<int16_t> out(block);
        return Time(frames, [&](int) {
            std::fill(sum.begin(), sum.end(), 0);
            for (size_t m = 0; m < kMembers; ++m) {
                for (size_t i = 0; i < block; ++i) sum[i] += in[i];
            }
            for (size_t m = 0; m < kMembers; ++m) {
                for (size_t i = 0; i < block; ++i) {
                    const int32_t s = sum[i] - in[i];
                    out[i] = static_cast<int16_t>(s > 32767 ? 32767 : (s < -32768 ? -32768 : s));
                }
                g_sink = g_sink + out[m];
            }
        });
    }
    return -1;
}

}  // namespace loopback
}  // namespace velmora

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s STAGE FRAMES\n", argv[0]);
        return 2;
    }
    const int64_t ns = velmora::loopback::MeasureAudioCostNs(argv[1], std::atoi(argv[2]));
    if (ns < 0) {
        std::fprintf(stderr, "unknown stage '%s'\n", argv[1]);
        return 2;
    }
    std::printf("%lld\n", static_cast<long long>(ns));
    return 0;
}
