// Voice detection on one stream of delivered audio: WebRTC's voice activity detector, run
// behind its noise suppressor. The detector alone calls any steady broadband sound voice;
// the suppressor learns such a sound within about 100 ms and takes it away before the
// detector looks, while speech, which changes from syllable to syllable, stays.
//
// The detector works on 10 ms of 16 kHz mono; a frame in another format is converted first
// (with its own converter, so the stream's state carries over between frames). A frame's
// answer is whether any of its 10 ms pieces held voice.
#ifndef VELMORA_ENGINE_MEDIA_VOICE_DETECTOR_H
#define VELMORA_ENGINE_MEDIA_VOICE_DETECTOR_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "media/pcm_converter.h"

namespace webrtc {
class AudioProcessing;
class AudioFrame;
}  // namespace webrtc

namespace velmora {
namespace loopback {

class VoiceDetector {
public:
    explicit VoiceDetector(PcmFormat format);
    ~VoiceDetector();
    VoiceDetector(const VoiceDetector&) = delete;
    VoiceDetector& operator=(const VoiceDetector&) = delete;

    // Whether the frame (interleaved samples in the detector's format) holds voice.
    bool HasVoice(const int16_t* pcm, size_t count);

private:
    static constexpr int kRate = 16000;
    static constexpr size_t kPiece = kRate / 100;

    PcmConverter to_detector_;
    std::unique_ptr<webrtc::AudioProcessing> apm_;
    std::unique_ptr<webrtc::AudioFrame> piece_;
    std::vector<int16_t> pending_;  // converted samples not yet a whole piece
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_VOICE_DETECTOR_H
