#include "media/pcm_converter.h"

#include <speex/speex_resampler.h>

#include <stdexcept>

namespace velmora {
namespace loopback {

PcmConverter::PcmConverter(PcmFormat from, PcmFormat to) : from_(from), to_(to) {
    if (from.rate != to.rate) {
        int error = 0;
        // Channel conversion happens before resampling when it halves the data, after it
        // otherwise, so the resampler always runs on the smaller channel count.
        const int channels = from.channels < to.channels ? from.channels : to.channels;
        resampler_ = speex_resampler_init(static_cast<spx_uint32_t>(channels), static_cast<spx_uint32_t>(from.rate),
                                          static_cast<spx_uint32_t>(to.rate), kResampleQuality, &error);
        if (resampler_ == nullptr) throw std::runtime_error(speex_resampler_strerror(error));
    }
}

int PcmConverter::Delay() const {
    return resampler_ == nullptr ? 0 : speex_resampler_get_output_latency(resampler_);
}

PcmConverter::~PcmConverter() {
    if (resampler_ != nullptr) speex_resampler_destroy(resampler_);
}

namespace {

// Stereo to mono averages the two channels; mono to stereo copies the one.
void Rechannel(const int16_t* in, size_t count, int from, int to, std::vector<int16_t>* out) {
    if (from == 2 && to == 1) {
        const size_t frames = count / 2;
        const size_t base = out->size();
        out->resize(base + frames);
        int16_t* o = out->data() + base;
        for (size_t i = 0; i < frames; ++i) o[i] = static_cast<int16_t>((in[2 * i] + in[2 * i + 1]) >> 1);
    } else if (from == 1 && to == 2) {
        const size_t base = out->size();
        out->resize(base + 2 * count);
        int16_t* o = out->data() + base;
        for (size_t i = 0; i < count; ++i) o[2 * i] = o[2 * i + 1] = in[i];
    } else {
        out->insert(out->end(), in, in + count);
    }
}

}  // namespace

void PcmConverter::Convert(const int16_t* in, size_t count, std::vector<int16_t>* out) {
    if (count == 0) return;
    if (resampler_ == nullptr) {
        Rechannel(in, count, from_.channels, to_.channels, out);
        return;
    }
    const int16_t* source = in;
    size_t source_count = count;
    if (from_.channels > to_.channels) {
        mixed_.clear();
        Rechannel(in, count, from_.channels, to_.channels, &mixed_);
        source = mixed_.data();
        source_count = mixed_.size();
    }
    const int channels = from_.channels < to_.channels ? from_.channels : to_.channels;
    spx_uint32_t in_frames = static_cast<spx_uint32_t>(source_count / channels);
    // Room for every sample the filter may release, including what it held back last time.
    const size_t capacity = (static_cast<size_t>(in_frames) * to_.rate) / from_.rate + 64;
    std::vector<int16_t> resampled(capacity * channels);
    spx_uint32_t out_frames = static_cast<spx_uint32_t>(capacity);
    if (channels == 1) {
        speex_resampler_process_int(resampler_, 0, source, &in_frames, resampled.data(), &out_frames);
    } else {
        speex_resampler_process_interleaved_int(resampler_, source, &in_frames, resampled.data(), &out_frames);
    }
    resampled.resize(static_cast<size_t>(out_frames) * channels);
    if (to_.channels > channels) {
        Rechannel(resampled.data(), resampled.size(), channels, to_.channels, out);
    } else {
        out->insert(out->end(), resampled.begin(), resampled.end());
    }
}

}  // namespace loopback
}  // namespace velmora
