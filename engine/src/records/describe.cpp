// Text descriptions of records and frames in the control API's format.
#include "records/describe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "records/frames.h"

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

uint64_t PayloadDigest(const char* data, size_t size) {
    // Four independent multiply-xor lanes over 64-bit words, so that the multiplications
    // overlap; then the tail bytes, the length and a final avalanche.
    constexpr uint64_t kPrime = 0x9E3779B97F4A7C15ull;
    uint64_t lanes[4] = {0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull,
                         0x082EFA98EC4E6C89ull};
    size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        for (int lane = 0; lane < 4; ++lane) {
            uint64_t word;
            std::memcpy(&word, data + i + 8 * lane, 8);
            lanes[lane] = (lanes[lane] ^ word) * kPrime;
            lanes[lane] ^= lanes[lane] >> 29;
        }
    }
    uint64_t h = size * kPrime;
    for (uint64_t lane : lanes) h = (h ^ lane) * kPrime;
    for (; i < size; ++i) h = (h ^ static_cast<unsigned char>(data[i])) * 0x100000001B3ull;
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return h;
}

namespace {

std::string PayloadText(const char* data, size_t size, PayloadForm form) {
    if (form == PayloadForm::kBytes) return size == 0 ? std::string("x") : HexText(data, size);
    char digest[40];
    std::snprintf(digest, sizeof digest, "#%zu:%016llx", size,
                  static_cast<unsigned long long>(PayloadDigest(data, size)));
    return digest;
}

template <typename Frame>
std::string PayloadItem(const Frame& f, PayloadForm form) {
    const size_t size = f.size();
    return Item("", "data", PayloadText(size == 0 ? nullptr : reinterpret_cast<const char*>(f.data()), size, form));
}

}  // namespace

std::string Describe(const kwix::AudioFrame& f, PayloadForm form) {
    const std::string& extra = ExtraPayload(f);
    return Join({Item("", "sample_rate", f.sample_rate), Item("", "channels", f.channels),
                 Item("", "bits_per_sample", f.bits_per_sample), Item("", "codec", f.codec), Item("", "pts", f.pts),
                 Item("", "has_voice", f.has_voice), PayloadItem(f, form),
                 Item("", "extra", PayloadText(extra.data(), extra.size(), form))});
}

std::string Describe(const kwix::VideoFrame& f, PayloadForm form) {
    return Join({Item("", "pts", f.pts), Item("", "dts", f.dts), Item("", "is_key_frame", f.is_key_frame),
                 Item("", "codec", f.codec), Item("", "rotation", f.rotation), PayloadItem(f, form)});
}

std::string Describe(const kwix::PixelFrame& f, PayloadForm form) {
    return Join({Item("", "pts", f.pts), Item("", "width", f.width), Item("", "height", f.height),
                 Item("", "format", f.format), Item("", "rotation", f.rotation), PayloadItem(f, form)});
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
