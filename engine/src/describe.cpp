// Text descriptions of records and frames in the control API's format.
#include "describe.h"

#include <algorithm>
#include <cstring>

#include "frames.h"

namespace velmora {
namespace loopback {
namespace {

std::string Item(const std::string& prefix, const char* name, const std::string& value) {
    return prefix + name + "=" + value;
}

std::string Item(const std::string& prefix, const char* name, long long value) {
    return Item(prefix, name, std::to_string(value));
}

std::string Join(std::initializer_list<std::string> items) {
    std::string out;
    for (const std::string& item : items) {
        if (!out.empty()) out += ' ';
        out += item;
    }
    return out;
}

std::string HexValue(const kwix::KwixString& s) { return HexText(s.GetValue()); }

}  // namespace

std::string HexText(const char* data, size_t size) {
    if (data == nullptr) return "null";
    static const char digits[] = "0123456789abcdef";
    std::string out("x");
    out.reserve(1 + 2 * size);
    for (size_t i = 0; i < size; ++i) {
        const unsigned char byte = static_cast<unsigned char>(data[i]);
        out += digits[byte >> 4];
        out += digits[byte & 0xf];
    }
    return out;
}

std::string HexText(const char* text) { return HexText(text, text ? std::strlen(text) : 0); }

std::string Describe(const kwix::RoomParams& r, const std::string& prefix) {
    return Join({Item(prefix, "sdk_app_id", r.sdk_app_id), Item(prefix, "user_id", HexValue(r.user_id)),
                 Item(prefix, "user_sig", HexValue(r.user_sig)), Item(prefix, "room_id", r.room_id),
                 Item(prefix, "str_room_id", HexValue(r.str_room_id)),
                 Item(prefix, "custom_data", r.custom_data ? "set" : "null"),
                 Item(prefix, "decryption_delegate", r.decryption_delegate ? "set" : "null"),
                 Item(prefix, "encryption_delegate", r.encryption_delegate ? "set" : "null")});
}

std::string Describe(const kwix::AudioObtainParams& p, const std::string& prefix) {
    return Join({Item(prefix, "audio_obtain_method", p.audio_obtain_method),
                 Item(prefix, "enable_remote_audio_mix", p.enable_remote_audio_mix),
                 Item(prefix, "output_sample_rate", p.output_sample_rate),
                 Item(prefix, "output_channels", p.output_channels),
                 Item(prefix, "output_frame_length_ms", p.output_frame_length_ms),
                 Item(prefix, "output_audio_codec_type", p.output_audio_codec_type)});
}

std::string Describe(const kwix::EnterRoomParams& p, const std::string& prefix) {
    return Join({Describe(p.room, prefix + "room."), Item(prefix, "scene", p.scene), Item(prefix, "role", p.role),
                 Item(prefix, "private_map_key", HexValue(p.private_map_key)),
                 Describe(p.audio_obtain_params, prefix + "audio_obtain_params."),
                 Item(prefix, "use_pixel_frame_input", p.use_pixel_frame_input),
                 Item(prefix, "use_pixel_frame_output", p.use_pixel_frame_output)});
}

std::string Describe(const kwix::AudioEncodeParams& p, const std::string& prefix) {
    return Join({Item(prefix, "channels", p.channels), Item(prefix, "sample_rate", p.sample_rate),
                 Item(prefix, "frame_length_ms", p.frame_length_ms), Item(prefix, "bitrate_bps", p.bitrate_bps),
                 Item(prefix, "need_encode", p.need_encode)});
}

std::string Describe(const kwix::VideoEncodeParams& p, const std::string& prefix) {
    return Join({Item(prefix, "frame_rate", p.frame_rate), Item(prefix, "bitrate_bps", p.bitrate_bps),
                 Item(prefix, "gop_in_seconds", p.gop_in_seconds)});
}

std::string Describe(const kwix::VADParams& p, const std::string& prefix) { return Item(prefix, "enable", p.enable); }

namespace {
template <typename Frame>
std::string PayloadItem(const Frame& f, const std::string& prefix) {
    const size_t size = f.size();
    return Item(prefix, "data",
                size == 0 ? std::string("x") : HexText(reinterpret_cast<const char*>(f.data()), size));
}
}  // namespace

std::string Describe(const kwix::AudioFrame& f, const std::string& prefix) {
    const std::string& extra = ExtraPayload(f);
    return Join({Item(prefix, "sample_rate", f.sample_rate), Item(prefix, "channels", f.channels),
                 Item(prefix, "bits_per_sample", f.bits_per_sample), Item(prefix, "codec", f.codec),
                 Item(prefix, "pts", f.pts), Item(prefix, "has_voice", f.has_voice), PayloadItem(f, prefix),
                 Item(prefix, "extra", HexText(extra.data(), extra.size()))});
}

std::string Describe(const kwix::VideoFrame& f, const std::string& prefix) {
    return Join({Item(prefix, "pts", f.pts), Item(prefix, "dts", f.dts), Item(prefix, "is_key_frame", f.is_key_frame),
                 Item(prefix, "codec", f.codec), Item(prefix, "rotation", f.rotation), PayloadItem(f, prefix)});
}

std::string Describe(const kwix::PixelFrame& f, const std::string& prefix) {
    return Join({Item(prefix, "pts", f.pts), Item(prefix, "width", f.width), Item(prefix, "height", f.height),
                 Item(prefix, "format", f.format), Item(prefix, "rotation", f.rotation), PayloadItem(f, prefix)});
}

bool DescribeDefault(const std::string& type, std::string* description) {
    if (type == "KwixString") {
        *description = "value=" + HexText(kwix::KwixString().GetValue());
    } else if (type == "RoomParams") {
        *description = Describe(kwix::RoomParams());
    } else if (type == "EnterRoomParams") {
        *description = Describe(kwix::EnterRoomParams());
    } else if (type == "AudioFrame") {
        *description = Describe(kwix::AudioFrame());
    } else if (type == "VideoFrame") {
        *description = Describe(kwix::VideoFrame());
    } else if (type == "PixelFrame") {
        *description = Describe(kwix::PixelFrame());
    } else {
        return false;
    }
    return true;
}

}  // namespace loopback
}  // namespace velmora
