#include "media/opus_codec.h"

#include <opus.h>

#include <stdexcept>

namespace velmora {
namespace loopback {

int OpusRateFor(int rate) { return IsOpusRate(rate) ? rate : 48000; }

int OpusPacketSamples(const uint8_t* packet, size_t size, int rate) {
    if (packet == nullptr || size == 0 || size > static_cast<size_t>(kMaxOpusPacketBytes) * 3) return 0;
    const int len = static_cast<int>(size);
    // Parsing checks the frame lengths against the packet size, not just the header.
    unsigned char toc = 0;
    const unsigned char* frames[48];
    opus_int16 sizes[48];
    if (opus_packet_parse(packet, len, &toc, frames, sizes, nullptr) <= 0) return 0;
    const int samples = opus_packet_get_nb_samples(packet, len, rate);
    return samples > 0 ? samples : 0;
}

OpusStreamEncoder::OpusStreamEncoder(PcmFormat format, int bitrate_bps, Content content)
    : format_(format), buffer_(kMaxOpusPacketBytes) {
    int error = OPUS_OK;
    const int application = content == Content::kVoice ? OPUS_APPLICATION_VOIP : OPUS_APPLICATION_AUDIO;
    encoder_ = opus_encoder_create(format.rate, format.channels, application, &error);
    if (encoder_ == nullptr) throw std::runtime_error(opus_strerror(error));
    error = opus_encoder_ctl(encoder_, OPUS_SET_BITRATE(bitrate_bps));
    if (error != OPUS_OK) {
        opus_encoder_destroy(encoder_);
        throw std::runtime_error(opus_strerror(error));
    }
}

OpusStreamEncoder::~OpusStreamEncoder() { opus_encoder_destroy(encoder_); }

bool OpusStreamEncoder::Encode(const int16_t* pcm, size_t count, std::string* packet) {
    const int frame = static_cast<int>(count / format_.channels);
    const opus_int32 n = opus_encode(encoder_, pcm, frame, buffer_.data(), static_cast<opus_int32>(buffer_.size()));
    if (n < 0) return false;
    packet->assign(reinterpret_cast<const char*>(buffer_.data()), static_cast<size_t>(n));
    return true;
}

OpusStreamDecoder::OpusStreamDecoder(PcmFormat format) : format_(format) {
    int error = OPUS_OK;
    decoder_ = opus_decoder_create(format.rate, format.channels, &error);
    if (decoder_ == nullptr) throw std::runtime_error(opus_strerror(error));
}

OpusStreamDecoder::~OpusStreamDecoder() { opus_decoder_destroy(decoder_); }

bool OpusStreamDecoder::Decode(const uint8_t* packet, size_t size, std::vector<int16_t>* out) {
    const int samples = OpusPacketSamples(packet, size, format_.rate);
    if (samples == 0) return false;
    const size_t base = out->size();
    out->resize(base + static_cast<size_t>(samples) * format_.channels);
    const int n = opus_decode(decoder_, packet, static_cast<opus_int32>(size), out->data() + base, samples, 0);
    if (n < 0) {
        out->resize(base);
        return false;
    }
    out->resize(base + static_cast<size_t>(n) * format_.channels);
    return true;
}

}  // namespace loopback
}  // namespace velmora
