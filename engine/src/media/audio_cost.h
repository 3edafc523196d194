// The cost of one 20 ms frame through each stage of the audio path, measured in-process so
// that benchmarks see the engine's work without the Python call around it.
#ifndef VELMORA_ENGINE_MEDIA_AUDIO_COST_H
#define VELMORA_ENGINE_MEDIA_AUDIO_COST_H

#include <cstdint>
#include <string>

namespace velmora {
namespace loopback {

// Nanoseconds per frame, averaged over `frames` frames of a 1 kHz tone, for `stage`:
// "copy" (memcpy of 20 ms of 48 kHz stereo), "convert" (that frame to 16 kHz mono),
// "convert-same-rate" (48 kHz stereo to 48 kHz mono), "encode" and "decode" (Opus, 48 kHz
// mono at 51200 b/s, the default channel), "mix48" (one tick's 10 ms mix of a 48-member
// room, every member a speaker, 48 kHz mono, one output per member). -1 for an unknown stage.
int64_t MeasureAudioCostNs(const std::string& stage, int frames);

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_AUDIO_COST_H
