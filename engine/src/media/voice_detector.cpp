#include "media/voice_detector.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <stdexcept>

namespace velmora {
namespace loopback {

VoiceDetector::VoiceDetector(PcmFormat format)
    : to_detector_(format, PcmFormat{kRate, 1}), apm_(webrtc::AudioProcessing::Create()),
      piece_(new webrtc::AudioFrame) {
    if (!apm_) throw std::runtime_error("voice detection could not be set up");
    apm_->noise_suppression()->set_level(webrtc::NoiseSuppression::kVeryHigh);
    apm_->noise_suppression()->Enable(true);
    apm_->voice_detection()->set_likelihood(webrtc::VoiceDetection::kLowLikelihood);
    apm_->voice_detection()->set_frame_size_ms(10);
    apm_->voice_detection()->Enable(true);
}

VoiceDetector::~VoiceDetector() = default;

bool VoiceDetector::HasVoice(const int16_t* pcm, size_t count) {
    to_detector_.Convert(pcm, count, &pending_);
    bool voice = false;
    size_t used = 0;
    for (; used + kPiece <= pending_.size(); used += kPiece) {
        piece_->UpdateFrame(0, 0, pending_.data() + used, kPiece, kRate, webrtc::AudioFrame::kNormalSpeech,
                            webrtc::AudioFrame::kVadUnknown, 1);
        if (apm_->ProcessStream(piece_.get()) == webrtc::AudioProcessing::kNoError) {
            voice = voice || apm_->voice_detection()->stream_has_voice();
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + used);
    return voice;
}

}  // namespace loopback
}  // namespace velmora
