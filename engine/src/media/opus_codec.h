// Opus, as the engine uses it: an encoder and a decoder for one stream each, and the check
// that a sender's packet can be read before it is accepted.
//
// A voice's encoder is libopus's for voice (OPUS_APPLICATION_VOIP) with its own default
// settings, complexity included, but for the bitrate: what a listener hears is what the codec gives in
// production. For speech, the voice application codes as well as the general one does at its
// best, and keeps doing so after silence, where the general one may settle on its music mode
// (at 51.2 kb/s, 0.45 PESQ worse on the test voices). A mix is coded for general audio
// (OPUS_APPLICATION_AUDIO): the voice application spends some 125 bytes a frame on the
// silence after a voice, the general one 5. Lower complexities cost much of the
// sound of speech (complexity 3: 0.7 to 1 PESQ) for a third to a seventh of the time per
// frame (benchmarks/bench_media.py gives the cost per frame).
#ifndef VELMORA_ENGINE_MEDIA_OPUS_CODEC_H
#define VELMORA_ENGINE_MEDIA_OPUS_CODEC_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "media/pcm_converter.h"

struct OpusEncoder;
struct OpusDecoder;

namespace velmora {
namespace loopback {

// The longest packet a frame of up to 60 ms gives at any bitrate Opus allows.
constexpr int kMaxOpusPacketBytes = 4000;

// The rate a channel is coded at: its own when Opus codes it (IsOpusRate), else 48000.
int OpusRateFor(int rate);

// Samples per channel the packet holds at `rate`, or 0 when it is not a valid Opus packet.
int OpusPacketSamples(const uint8_t* packet, size_t size, int rate);

class OpusStreamEncoder {
public:
    // What the stream holds: one voice (a sender's channel, coded again for a listener), or
    // any sound (a mix, coded for general audio so that its silences cost a few bytes).
    enum class Content { kVoice, kMix };

    // Throws std::runtime_error with Opus's message when the format or bitrate is refused.
    OpusStreamEncoder(PcmFormat format, int bitrate_bps, Content content = Content::kVoice);
    ~OpusStreamEncoder();
    OpusStreamEncoder(const OpusStreamEncoder&) = delete;
    OpusStreamEncoder& operator=(const OpusStreamEncoder&) = delete;

    // Encodes exactly one frame (10, 20, 40 or 60 ms of interleaved samples) into a packet;
    // false when Opus refuses it.
    bool Encode(const int16_t* pcm, size_t count, std::string* packet);

private:
    PcmFormat format_;
    OpusEncoder* encoder_ = nullptr;
    std::vector<unsigned char> buffer_;
};

class OpusStreamDecoder {
public:
    explicit OpusStreamDecoder(PcmFormat format);
    ~OpusStreamDecoder();
    OpusStreamDecoder(const OpusStreamDecoder&) = delete;
    OpusStreamDecoder& operator=(const OpusStreamDecoder&) = delete;

    // Appends the decoded interleaved samples to *out; false when the packet does not decode.
    bool Decode(const uint8_t* packet, size_t size, std::vector<int16_t>* out);

private:
    PcmFormat format_;
    OpusDecoder* decoder_ = nullptr;
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_OPUS_CODEC_H
