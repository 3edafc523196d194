#include "media/video_decoder.h"

#include <libde265/de265.h>
#include <wels/codec_api.h>

#include <cstdio>
#include <utility>

namespace velmora {
namespace loopback {

using kwix::VideoCodecType;

namespace {

// Payloads this large are refused unread: no frame of a picture the path takes comes near.
constexpr size_t kMaxPayloadBytes = 64u << 20;
constexpr int kMaxDecodeSteps = 100000;
constexpr int kMaxWarnings = 64;  // the decoder keeps a few; more are not read

bool TooLarge(size_t size, std::string* error) {
    if (size <= kMaxPayloadBytes) return false;
    *error = "a payload of " + std::to_string(size) + " bytes is beyond any frame the engine decodes";
    return true;
}

// Calls `visit(first byte of the NAL unit's header)` for each NAL unit of an Annex B payload
// until it returns true; true then.
template <typename Visit>
bool AnyNal(const uint8_t* data, size_t size, Visit visit) {
    for (size_t i = 0; i + 3 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (visit(data[i + 3])) return true;
            i += 2;
        }
    }
    return false;
}

class H264Decoder final : public VideoDecoder {
public:
    ~H264Decoder() override { Stop(); }

    bool Start(std::string* error) {
        if (WelsCreateDecoder(&decoder_) != 0 || decoder_ == nullptr) {
            decoder_ = nullptr;
            *error = "OpenH264 could not make a decoder";
            return false;
        }
        int quiet = WELS_LOG_QUIET;
        decoder_->SetOption(DECODER_OPTION_TRACE_LEVEL, &quiet);
        SDecodingParam p = {};
        p.sVideoProperty.size = sizeof p.sVideoProperty;
        p.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
        // A frame that does not decode is not shown at all, rather than patched up.
        p.eEcActiveIdc = ERROR_CON_DISABLE;
        if (decoder_->Initialize(&p) != 0) {
            Stop();
            *error = "OpenH264 could not start a decoder";
            return false;
        }
        return true;
    }

    Result Decode(const uint8_t* data, size_t size, uint32_t pts, std::vector<DecodedPicture>* out,
                  std::string* error) override {
        if (TooLarge(size, error)) return Result::kBroken;
        if (decoder_ == nullptr && !Start(error)) return Result::kBroken;
        uint8_t* planes[3] = {nullptr, nullptr, nullptr};
        SBufferInfo info = {};
        info.uiInBsTimeStamp = pts;
        const DECODING_STATE state = decoder_->DecodeFrameNoDelay(data, static_cast<int>(size), planes, &info);
        if (state != dsErrorFree) {
            *error = "H.264 decoding failed (state 0x" + Hex(state) + ")";
            Stop();
            return Result::kBroken;
        }
        if (info.iBufferStatus != 1) return Result::kDecoded;
        const SSysMEMBuffer& b = info.UsrData.sSystemBuffer;
        DecodedPicture d;
        d.pts = static_cast<uint32_t>(info.uiOutYuvTimeStamp);
        if (!FromPlanes(Chroma::k420, b.iWidth, b.iHeight, planes[0], b.iStride[0], planes[1], b.iStride[1], planes[2],
                        b.iStride[1], &d.picture)) {
            *error = "H.264 picture of " + std::to_string(b.iWidth) + "x" + std::to_string(b.iHeight) +
                     " is not a size pixel receivers take";
            return Result::kBroken;
        }
        out->push_back(std::move(d));
        return Result::kDecoded;
    }

private:
    static std::string Hex(int value) {
        char text[16];
        std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
        return text;
    }
    void Stop() {
        if (decoder_ == nullptr) return;
        decoder_->Uninitialize();
        WelsDestroyDecoder(decoder_);
        decoder_ = nullptr;
    }

    ISVCDecoder* decoder_ = nullptr;
};

class H265Decoder final : public VideoDecoder {
public:
    ~H265Decoder() override { Stop(); }

    bool Start(std::string* error) {
        context_ = de265_new_decoder();
        if (context_ == nullptr) {
            *error = "libde265 could not make a decoder";
            return false;
        }
        // No worker threads of its own: it decodes on the stream's video worker.
        de265_set_parameter_bool(context_, DE265_DECODER_PARAM_SUPPRESS_FAULTY_PICTURES, 1);
        return true;
    }

    Result Decode(const uint8_t* data, size_t size, uint32_t pts, std::vector<DecodedPicture>* out,
                  std::string* error) override {
        if (TooLarge(size, error)) return Result::kBroken;
        if (context_ == nullptr && !Start(error)) return Result::kBroken;
        de265_error status = de265_push_data(context_, data, static_cast<int>(size), pts, nullptr);
        de265_push_end_of_frame(context_);
        bool broken = !de265_isOK(status);
        std::string reason = broken ? de265_get_error_text(status) : "";
        // Decodes until the pushed frame is used up, taking each picture as it comes out (a
        // full picture buffer would stall the decoder). Bounded: a frame's slices take far
        // fewer steps, and a decoder that does not finish is taken as broken.
        int more = 1;
        for (int step = 0; !broken && more; ++step) {
            more = 0;
            status = de265_decode(context_, &more);
            if (status == DE265_ERROR_WAITING_FOR_INPUT_DATA) break;
            if (status != DE265_OK || step == kMaxDecodeSteps) {
                broken = true;
                reason = status != DE265_OK ? de265_get_error_text(status) : "the decoder did not finish the frame";
            }
            while (const de265_image* image = de265_get_next_picture(context_)) {
                if (!Take(image, out)) {
                    broken = true;
                    reason = "an H.265 picture of a format pixel receivers do not take (8-bit only)";
                }
            }
            for (int n = 0; n < kMaxWarnings; ++n) {
                const de265_error w = de265_get_warning(context_);
                if (w == DE265_OK) break;
                if (!broken) reason = de265_get_error_text(w);
                broken = true;
            }
        }
        if (broken) {
            *error = "H.265 decoding failed: " + reason;
            Stop();
            return Result::kBroken;
        }
        return Result::kDecoded;
    }

private:
    static bool Take(const de265_image* image, std::vector<DecodedPicture>* out) {
        const de265_chroma format = de265_get_chroma_format(image);
        Chroma chroma = Chroma::k420;
        switch (format) {
            case de265_chroma_mono:
                chroma = Chroma::kMono;
                break;
            case de265_chroma_420:
                break;
            case de265_chroma_422:
                chroma = Chroma::k422;
                break;
            case de265_chroma_444:
                chroma = Chroma::k444;
                break;
        }
        const int planes = chroma == Chroma::kMono ? 1 : 3;
        const uint8_t* plane[3] = {nullptr, nullptr, nullptr};
        int stride[3] = {0, 0, 0};
        for (int c = 0; c < planes; ++c) {
            if (de265_get_bits_per_pixel(image, c) != 8) return false;
            plane[c] = de265_get_image_plane(image, c, &stride[c]);
            if (plane[c] == nullptr) return false;
        }
        DecodedPicture d;
        d.pts = static_cast<uint32_t>(de265_get_image_PTS(image));
        if (!FromPlanes(chroma, de265_get_image_width(image, 0), de265_get_image_height(image, 0), plane[0], stride[0],
                        plane[1], stride[1], plane[2], stride[2], &d.picture)) {
            return false;
        }
        out->push_back(std::move(d));
        return true;
    }
    void Stop() {
        if (context_ == nullptr) return;
        de265_free_decoder(context_);
        context_ = nullptr;
    }

    de265_decoder_context* context_ = nullptr;
};

template <typename D>
std::unique_ptr<VideoDecoder> Started(std::string* error) {
    auto d = std::make_unique<D>();
    if (!d->Start(error)) return nullptr;
    return d;
}

}  // namespace

bool IsKeyPayload(VideoCodecType codec, const uint8_t* data, size_t size) {
    if (data == nullptr) return false;
    if (codec == kwix::VIDEO_CODEC_TYPE_H264) {
        return AnyNal(data, size, [](uint8_t header) { return (header & 0x1F) == 5; });
    }
    if (codec == kwix::VIDEO_CODEC_TYPE_H265) {
        return AnyNal(data, size, [](uint8_t header) {
            const int type = (header >> 1) & 0x3F;
            return type >= 16 && type <= 21;  // BLA, IDR, CRA
        });
    }
    return false;
}

std::unique_ptr<VideoDecoder> VideoDecoder::Make(VideoCodecType codec, std::string* error) {
    switch (codec) {
        case kwix::VIDEO_CODEC_TYPE_H264:
            return Started<H264Decoder>(error);
        case kwix::VIDEO_CODEC_TYPE_H265:
            return Started<H265Decoder>(error);
    }
    *error = "no decoder for video codec " + std::to_string(static_cast<int>(codec));
    return nullptr;
}

}  // namespace loopback
}  // namespace velmora
