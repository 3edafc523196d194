#include "core/operation.h"

#include "media/h264_encoder.h"
#include "media/video_picture.h"

namespace velmora {
namespace loopback {

using namespace kwix;

namespace {

template <typename Frame>
bool HasPayload(const std::shared_ptr<const Frame>& frame) {
    return frame && frame->size() > 0;
}

}  // namespace

bool IsVideoStream(StreamType type) {
    return type == STREAM_TYPE_VIDEO_HIGH || type == STREAM_TYPE_VIDEO_LOW || type == STREAM_TYPE_VIDEO_AUX;
}

// Strict UTF-8, as a receiving Python decodes it: no overlong forms, no UTF-16 surrogates,
// nothing above U+10FFFF.
bool IsUserId(const std::string& text) {
    if (text.empty()) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p++;
        if (lead == 0) return false;
        if (lead < 0x80) continue;
        int more;
        unsigned char low = 0x80, high = 0xBF;  // the range of the first continuation byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        for (int i = 0; i < more; ++i, ++p) {
            if (p == end || *p < (i == 0 ? low : 0x80) || *p > (i == 0 ? high : 0xBF)) return false;
        }
    }
    return true;
}

int Check(const Operation& operation) {
    return std::visit(
        Overloaded{
            [](const op::Enter& o) -> int {
                if (!IsUserId(o.user_id)) return ERR_INVALID_USER_ID;
                if (o.role != KWIX_ROLE_ANCHOR && o.role != KWIX_ROLE_AUDIENCE) return ERR_INVALID_PARAMETER;
                return ERR_OK;
            },
            [](const op::Exit&) -> int { return ERR_OK; },
            [](const op::AudioChannel& o) -> int { return o.open ? CheckChannelParams(o.channel) : ERR_OK; },
            [](const op::VideoChannel& o) -> int { return IsVideoStream(o.type) ? ERR_OK : ERR_INVALID_PARAMETER; },
            [](const op::Subscription& o) -> int {
                const bool named = !o.user_id.empty() && o.user_id.find('\0') == std::string::npos;
                const bool stream = o.type == STREAM_TYPE_AUDIO || IsVideoStream(o.type);
                return named && stream ? ERR_OK : ERR_INVALID_PARAMETER;
            },
            [](const op::Audio& o) -> int {
                if (HasPayload(o.frame)) return ERR_OK;
                return o.frame && o.frame->codec == AUDIO_CODEC_TYPE_AAC ? ERR_NOT_SUPPORTED : ERR_INVALID_PARAMETER;
            },
            [](const op::Video& o) -> int {
                return IsVideoStream(o.type) && HasPayload(o.frame) ? ERR_OK : ERR_INVALID_PARAMETER;
            },
            [](const op::Pixels& o) -> int {
                if (!IsVideoStream(o.type) || !HasPayload(o.frame)) return ERR_INVALID_PARAMETER;
                return CheckPixelFrame(*o.frame);
            },
            [](const op::VideoParams& o) -> int {
                const VideoEncodeParams& p = o.params;
                const bool rate = p.frame_rate >= kMinEncodeFrameRate && p.frame_rate <= kMaxEncodeFrameRate;
                const bool bits =
                    p.bitrate_bps == 0 || (p.bitrate_bps >= kMinEncodeBitrateBps && p.bitrate_bps <= kMaxEncodeBitrateBps);
                const bool gop = p.gop_in_seconds >= 1 && p.gop_in_seconds <= kMaxGopSeconds;
                return IsVideoStream(o.type) && rate && bits && gop ? ERR_OK : ERR_INVALID_PARAMETER;
            },
            [](const op::Sei& o) -> int {
                return o.message.size() <= kMaxMessageBytes ? ERR_OK : ERR_INVALID_PARAMETER;
            },
            [](const op::Command& o) -> int {
                return o.message.size() <= kMaxMessageBytes ? ERR_OK : ERR_INVALID_PARAMETER;
            },
        },
        operation);
}

const char* NameOf(const Operation& operation) {
    static const char* const kNames[] = {"Enter", "Exit",   "AudioChannel", "VideoChannel", "Subscription", "Audio",
                                         "Video", "Pixels", "Sei",          "Command",      "VideoParams"};
    static_assert(sizeof kNames / sizeof kNames[0] == std::variant_size<Operation>::value, "a name for each kind");
    return kNames[operation.index()];
}

}  // namespace loopback
}  // namespace velmora
