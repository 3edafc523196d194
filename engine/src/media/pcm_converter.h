// Conversion of one stream of 16-bit interleaved PCM from one rate and channel count to
// another. The resampler keeps its state between calls, so a stream fed frame by frame
// comes out as if converted in one piece: no clicks at frame boundaries. One converter per
// stream; a converter whose formats are equal copies.
//
// Resampling is speexdsp's (quality kResampleQuality): it works on int16 directly, keeps
// its latency to a few samples and takes any input length, which suits frames of 10 ms.
#ifndef VELMORA_ENGINE_MEDIA_PCM_CONVERTER_H
#define VELMORA_ENGINE_MEDIA_PCM_CONVERTER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "records/audio_params.h"

struct SpeexResamplerState_;

namespace velmora {
namespace loopback {

class PcmConverter {
public:
    static constexpr int kResampleQuality = 3;

    PcmConverter(PcmFormat from, PcmFormat to);
    ~PcmConverter();
    PcmConverter(const PcmConverter&) = delete;
    PcmConverter& operator=(const PcmConverter&) = delete;

    PcmFormat from() const { return from_; }
    PcmFormat to() const { return to_; }

    // Appends the conversion of `count` interleaved samples (whole sample frames) to *out.
    void Convert(const int16_t* in, size_t count, std::vector<int16_t>* out);

private:
    PcmFormat from_;
    PcmFormat to_;
    SpeexResamplerState_* resampler_ = nullptr;  // null when the rates are equal
    std::vector<int16_t> mixed_;                 // channel-converted input, reused
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_PCM_CONVERTER_H
