// Voice detection on one stream of delivered audio: WebRTC's voice activity detector, run
// behind its noise suppressor, and a check of the spectrum's shape. The detector alone calls
// steady broadband noise voice; the suppressor learns such a sound and takes it away before
// the detector looks, but only after up to a second, and never all of it when the noise is
// loud. So a piece is voice only when, besides, its spectrum from 200 to 3400 Hz (averaged
// over the last 40 ms) is not flat as noise's is: speech has formants and a falling
// spectrum, white noise is flat (a flatness, geometric over arithmetic mean of the power, of
// about 0.85, against under 0.5 for nine pieces of loud speech in ten). Fewer than three
// pieces of sound are too rough a spectrum to tell: the first 20 ms of a stream, or of sound
// after silence, are never voice.
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

    static constexpr int kRate = 16000;
    static constexpr size_t kPiece = kRate / 100;
    // Spectra of 10 ms pieces have 100 Hz bins: 200 to 3400 Hz, the band every rate carries.
    static constexpr int kFirstBin = 2;
    static constexpr int kBins = 33;
    static constexpr size_t kFlatnessPieces = 4;
    static constexpr double kNoiseFlatness = 0.5;
    static constexpr size_t kSoundPiecesNeeded = 3;
    // Mean power per bin below which a piece is silence: white noise of about -60 dBFS.
    static constexpr double kSilencePower = 60.0 * 32 * 32;

private:
    // Whether the spectrum of the last pieces, this one included, is as flat as noise, or too
    // rough to tell.
    bool NoiseLike(const int16_t* piece);

    PcmConverter to_detector_;
    std::unique_ptr<webrtc::AudioProcessing> apm_;
    std::unique_ptr<webrtc::AudioFrame> piece_;
    std::vector<int16_t> pending_;  // converted samples not yet a whole piece
    std::vector<double> spectra_;   // power per bin of the last kFlatnessPieces pieces, a ring
    size_t pieces_ = 0;             // pieces seen
    size_t sound_run_ = 0;          // pieces of sound in a row, up to this one
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_VOICE_DETECTOR_H
