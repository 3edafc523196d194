#include "records/audio_params.h"

namespace velmora {
namespace loopback {

using namespace kwix;

bool IsFrameLength(int ms) { return ms == 10 || ms == 20 || ms == 40 || ms == 60; }

bool IsUsableRate(int rate) { return rate >= 8000 && rate <= 48000 && rate % 100 == 0; }

bool IsOpusRate(int rate) {
    return rate == 8000 || rate == 12000 || rate == 16000 || rate == 24000 || rate == 48000;
}

ChannelParams ChannelOf(const AudioEncodeParams& params) {
    ChannelParams channel;
    channel.rate = params.sample_rate;
    channel.channels = params.channels;
    channel.frame_ms = params.frame_length_ms;
    channel.bitrate_bps = params.bitrate_bps;
    channel.need_encode = params.need_encode;
    return channel;
}

int CheckChannelParams(const ChannelParams& channel) {
    if (channel.channels < 1 || channel.channels > 2 || !IsUsableRate(channel.rate) ||
        !IsFrameLength(channel.frame_ms)) {
        return ERR_INVALID_PARAMETER;
    }
    // Opus's own range of bitrates.
    if (channel.need_encode && (channel.bitrate_bps < 500 || channel.bitrate_bps > 512000)) {
        return ERR_INVALID_PARAMETER;
    }
    return ERR_OK;
}

int CheckListenerParams(const AudioObtainParams& params, ListenerParams* out) {
    if (params.output_audio_codec_type == AUDIO_CODEC_TYPE_AAC) return ERR_NOT_SUPPORTED;
    const bool opus = params.output_audio_codec_type == AUDIO_CODEC_TYPE_OPUS;
    if (!opus && params.output_audio_codec_type != AUDIO_CODEC_TYPE_PCM) return ERR_INVALID_PARAMETER;
    if (params.audio_obtain_method != AUDIO_OBTAIN_METHOD_CALLBACK &&
        params.audio_obtain_method != AUDIO_OBTAIN_METHOD_GET) {
        return ERR_INVALID_PARAMETER;
    }
    const int rate = static_cast<int>(params.output_sample_rate);
    const int channels = static_cast<int>(params.output_channels);
    const int frame_ms = static_cast<int>(params.output_frame_length_ms);
    if (!IsUsableRate(rate) || channels < 1 || channels > 2 || !IsFrameLength(frame_ms)) return ERR_INVALID_PARAMETER;
    if (opus && !IsOpusRate(rate)) return ERR_INVALID_PARAMETER;
    out->how = params.audio_obtain_method == AUDIO_OBTAIN_METHOD_GET
                   ? Listening::kPulled
                   : (params.enable_remote_audio_mix ? Listening::kMixed : Listening::kPerUser);
    out->format = PcmFormat{rate, channels};
    out->frame_ms = frame_ms;
    out->opus = opus;
    return ERR_OK;
}

}  // namespace loopback
}  // namespace velmora
