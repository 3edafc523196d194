// The engine's own checked forms of the interface's audio records: a local channel's format
// (AudioEncodeParams) and what a listener asked to hear (AudioObtainParams). Rooms, the
// audio path, the room bus and the control API all speak in these; the checks are the ones
// EnterRoom and CreateLocalAudioChannel report.
#ifndef VELMORA_ENGINE_RECORDS_AUDIO_PARAMS_H
#define VELMORA_ENGINE_RECORDS_AUDIO_PARAMS_H

#include <cstddef>

#include "kwix/velmora_kwix_cloud.h"

namespace velmora {
namespace loopback {

struct PcmFormat {
    int rate = 48000;
    int channels = 1;
    bool operator==(const PcmFormat& o) const { return rate == o.rate && channels == o.channels; }
    bool operator!=(const PcmFormat& o) const { return !(*this == o); }
    bool operator<(const PcmFormat& o) const { return rate != o.rate ? rate < o.rate : channels < o.channels; }
    // Interleaved samples in `ms` milliseconds.
    size_t SamplesIn(int ms) const { return static_cast<size_t>(rate) / 1000 * ms * channels; }
};

struct ChannelParams {
    int rate = 48000;
    int channels = 1;
    int frame_ms = 20;
    int bitrate_bps = 51200;
    bool need_encode = true;
};

// kNone: hears nothing and costs nothing (members mirrored from other processes).
enum class Listening { kPerUser, kMixed, kPulled, kNone };

struct ListenerParams {
    Listening how = Listening::kPerUser;
    PcmFormat format{16000, 1};
    int frame_ms = 20;
    bool opus = false;
};

// A local channel's format as the interface record gives it, not yet checked.
ChannelParams ChannelOf(const kwix::AudioEncodeParams& params);
// 0 or ERR_INVALID_PARAMETER: 1 or 2 channels, a usable rate, a frame length, and, when it
// encodes, a bitrate in Opus's range (500 to 512000).
int CheckChannelParams(const ChannelParams& channel);
// Checks in the order the engine reports them; 0 or an Error code.
int CheckListenerParams(const kwix::AudioObtainParams& params, ListenerParams* out);

// 10, 20, 40 or 60 ms.
bool IsFrameLength(int ms);
// 8000 to 48000 Hz in whole hundreds: whole samples in 10 ms, so that every frame length
// holds a whole number of them.
bool IsUsableRate(int rate);
// Rates Opus codes at; other channel rates are coded at 48000.
bool IsOpusRate(int rate);

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_RECORDS_AUDIO_PARAMS_H
