#include "media/voice_detector.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <cmath>
#include <stdexcept>

namespace velmora {
namespace loopback {

namespace {

// The windowed DFT's cosines and sines for the detector's bins, made once and only read.
struct Basis {
    float cosine[VoiceDetector::kBins][VoiceDetector::kPiece];
    float sine[VoiceDetector::kBins][VoiceDetector::kPiece];
    Basis() {
        constexpr size_t n = VoiceDetector::kPiece;
        for (int b = 0; b < VoiceDetector::kBins; ++b) {
            for (size_t i = 0; i < n; ++i) {
                const double window = 0.5 - 0.5 * std::cos(2 * M_PI * (i + 0.5) / n);
                const double angle = 2 * M_PI * (b + VoiceDetector::kFirstBin) * static_cast<double>(i) / n;
                cosine[b][i] = static_cast<float>(window * std::cos(angle));
                sine[b][i] = static_cast<float>(window * std::sin(angle));
            }
        }
    }
};

const Basis& TheBasis() {
    static const Basis basis;
    return basis;
}

}  // namespace

VoiceDetector::VoiceDetector(PcmFormat format)
    : to_detector_(format, PcmFormat{kRate, 1}), apm_(webrtc::AudioProcessing::Create()),
      piece_(new webrtc::AudioFrame), spectra_(kFlatnessPieces * kBins, 0.0) {
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
        const bool noise = NoiseLike(pending_.data() + used);
        if (apm_->ProcessStream(piece_.get()) == webrtc::AudioProcessing::kNoError) {
            voice = voice || (apm_->voice_detection()->stream_has_voice() && !noise);
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + used);
    return voice;
}

bool VoiceDetector::NoiseLike(const int16_t* piece) {
    const Basis& basis = TheBasis();
    double* power = spectra_.data() + (pieces_ % kFlatnessPieces) * kBins;
    double total = 0;
    for (int b = 0; b < kBins; ++b) {
        float re = 0;
        float im = 0;
        for (size_t i = 0; i < kPiece; ++i) {
            re += basis.cosine[b][i] * piece[i];
            im += basis.sine[b][i] * piece[i];
        }
        power[b] = static_cast<double>(re) * re + static_cast<double>(im) * im;
        total += power[b];
    }
    ++pieces_;
    sound_run_ = total < kSilencePower * kBins ? 0 : sound_run_ + 1;
    if (sound_run_ < kSoundPiecesNeeded) return true;
    const size_t pieces = pieces_ < kFlatnessPieces ? pieces_ : kFlatnessPieces;
    double log_sum = 0;
    double sum = 0;
    for (int b = 0; b < kBins; ++b) {
        // A floor well below one LSB of signal keeps digital silence from a log of zero.
        double p = 1.0;
        for (size_t k = 0; k < pieces; ++k) p += spectra_[k * kBins + b];
        log_sum += std::log(p);
        sum += p;
    }
    return std::exp(log_sum / kBins) / (sum / kBins) > kNoiseFlatness;
}

}  // namespace loopback
}  // namespace velmora
