// Opus, as the engine uses it: an encoder and a decoder for one stream each, and the check
// that a sender's packet can be read before it is accepted.
//
// The encoder keeps libopus's own default settings (complexity included) but for the bitrate
// and the hint that the signal is voice: what a listener hears is what the codec gives in
// production. On speech the hint changes nothing (libopus's own analysis finds voice and codes
// it alike, to the bit on the test voices); on a steady tone it keeps the encoder from
// switching between its speech and music modes, which costs a tone at 51.2 kb/s some 30 dB of
// signal to noise. Lower complexities cost much of the sound of speech (at complexity 3 and
// 51.2 kb/s, 0.7 to 1 PESQ on the test voices) for about a third less time per frame
// (benchmarks/bench_media.py gives the cost per frame).
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
    // Throws std::runtime_error with Opus's message when the format or bitrate is refused.
    OpusStreamEncoder(PcmFormat format, int bitrate_bps);
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
