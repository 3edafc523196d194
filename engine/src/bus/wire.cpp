#include "bus/wire.h"

#include <algorithm>
#include <cstring>

#include "frames.h"

namespace velmora {
namespace loopback {
namespace bus {

namespace {

class Writer {
public:
    void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void U16(uint16_t v) { Little(v, 2); }
    void U32(uint32_t v) { Little(v, 4); }
    void U64(uint64_t v) { Little(v, 8); }
    void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
    void Bool(bool v) { U8(v ? 1 : 0); }
    void Share(double v) {
        uint64_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        U64(bits);
    }
    void ShortText(const std::string& s) {
        const size_t n = std::min<size_t>(s.size(), UINT16_MAX);
        U16(static_cast<uint16_t>(n));
        out_.append(s, 0, n);
    }
    void Text(const std::string& s) {
        U32(static_cast<uint32_t>(s.size()));
        out_.append(s);
    }
    // A frame's payload without data(), which the engine counts as a caller's read.
    void Payload(const void* handle) {
        const loopback::Payload& p = static_cast<const FrameStore*>(handle)->data;
        Text(p ? *p : std::string());
    }
    std::string Take() { return std::move(out_); }

private:
    void Little(uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    std::string out_;
};

class Reader {
public:
    explicit Reader(const std::string& in) : in_(in) {}
    bool ok() const { return ok_; }
    bool AtEnd() const { return pos_ == in_.size(); }
    uint8_t U8() { return static_cast<uint8_t>(Little(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Little(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Little(4)); }
    uint64_t U64() { return Little(8); }
    int32_t I32() { return static_cast<int32_t>(U32()); }
    bool Bool() { return U8() != 0; }
    double Share() {
        const uint64_t bits = U64();
        double v = 0;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    std::string ShortText() { return Bytes(U16()); }
    std::string Text() { return Bytes(U32()); }

private:
    uint64_t Little(int bytes) {
        if (!ok_ || in_.size() - pos_ < static_cast<size_t>(bytes)) {
            ok_ = false;
            return 0;
        }
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(in_[pos_ + i])) << (8 * i);
        pos_ += bytes;
        return v;
    }
    std::string Bytes(size_t n) {
        if (!ok_ || in_.size() - pos_ < n) {
            ok_ = false;
            return std::string();
        }
        std::string s = in_.substr(pos_, n);
        pos_ += n;
        return s;
    }
    const std::string& in_;
    size_t pos_ = 0;
    bool ok_ = true;
};

template <typename Frame>
void SetPayload(Frame* f, const std::string& bytes) {
    f->SetData(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

std::string Encode(const Message& m) {
    Writer w;
    w.U8(kWireVersion);
    w.U8(static_cast<uint8_t>(m.kind));
    w.U64(m.origin);
    w.U64(m.sender);
    w.U64(m.seq);
    w.ShortText(m.user_id);
    switch (m.kind) {
        case Kind::kHello:
        case Kind::kHeartbeat:
        case Kind::kBye:
        case Kind::kExit:
            break;
        case Kind::kEnter:
            w.I32(m.role);
            break;
        case Kind::kAudioChannel:
            w.Bool(m.open);
            w.I32(m.channel.rate);
            w.I32(m.channel.channels);
            w.I32(m.channel.frame_ms);
            w.I32(m.channel.bitrate_bps);
            w.Bool(m.channel.need_encode);
            break;
        case Kind::kVideoChannel:
            w.Bool(m.open);
            w.I32(m.stream_type);
            break;
        case Kind::kSubscribe:
            w.ShortText(m.target);
            w.I32(m.stream_type);
            w.Bool(m.open);
            break;
        case Kind::kAudio: {
            const kwix::AudioFrame& f = *m.audio;
            w.Bool(m.flag);
            w.Bool(m.clear);
            w.I32(f.sample_rate);
            w.I32(f.channels);
            w.I32(f.bits_per_sample);
            w.I32(static_cast<int32_t>(f.codec));
            w.U32(f.pts);
            w.Bool(f.has_voice);
            w.Payload(f.handle());
            w.Text(ExtraPayload(f));
            break;
        }
        case Kind::kVideo: {
            const kwix::VideoFrame& f = *m.video;
            w.I32(m.stream_type);
            w.U32(f.pts);
            w.U32(f.dts);
            w.Bool(f.is_key_frame);
            w.I32(static_cast<int32_t>(f.codec));
            w.I32(static_cast<int32_t>(f.rotation));
            w.Payload(f.handle());
            break;
        }
        case Kind::kPixel: {
            const kwix::PixelFrame& f = *m.pixel;
            w.I32(m.stream_type);
            w.U32(f.pts);
            w.U32(f.width);
            w.U32(f.height);
            w.I32(static_cast<int32_t>(f.format));
            w.I32(static_cast<int32_t>(f.rotation));
            w.Payload(f.handle());
            break;
        }
        case Kind::kSei:
            w.I32(static_cast<int32_t>(m.number));
            w.Text(m.text);
            break;
        case Kind::kCustomCmd:
            w.U32(static_cast<uint32_t>(m.number));
            w.Bool(m.flag);
            w.Bool(m.ordered);
            w.Text(m.text);
            break;
        case Kind::kNetwork: {
            const network::Link& l = m.network.link;
            w.U8(m.network.what);
            w.U64(static_cast<uint64_t>(m.network.value));
            w.U64(static_cast<uint64_t>(l.latency_ms));
            w.U64(static_cast<uint64_t>(l.jitter_ms));
            w.Share(l.audio_loss);
            w.Share(l.video_loss);
            w.Share(l.command_loss);
            w.Share(l.reorder);
            break;
        }
    }
    return w.Take();
}

DecodeResult Decode(const std::string& bytes, Message* out, int* version) {
    Reader r(bytes);
    const uint8_t v = r.U8();
    if (!r.ok()) return DecodeResult::kMalformed;
    *version = v;
    if (v != kWireVersion) return DecodeResult::kUnknownVersion;
    Message m;
    const uint8_t kind = r.U8();
    if (kind < static_cast<uint8_t>(Kind::kHello) || kind > static_cast<uint8_t>(Kind::kNetwork)) {
        return DecodeResult::kMalformed;
    }
    m.kind = static_cast<Kind>(kind);
    m.origin = r.U64();
    m.sender = r.U64();
    m.seq = r.U64();
    m.user_id = r.ShortText();
    switch (m.kind) {
        case Kind::kHello:
        case Kind::kHeartbeat:
        case Kind::kBye:
        case Kind::kExit:
            break;
        case Kind::kEnter:
            m.role = r.I32();
            break;
        case Kind::kAudioChannel:
            m.open = r.Bool();
            m.channel.rate = r.I32();
            m.channel.channels = r.I32();
            m.channel.frame_ms = r.I32();
            m.channel.bitrate_bps = r.I32();
            m.channel.need_encode = r.Bool();
            break;
        case Kind::kVideoChannel:
            m.open = r.Bool();
            m.stream_type = r.I32();
            break;
        case Kind::kSubscribe:
            m.target = r.ShortText();
            m.stream_type = r.I32();
            m.open = r.Bool();
            break;
        case Kind::kAudio: {
            auto f = std::make_shared<kwix::AudioFrame>();
            m.flag = r.Bool();
            m.clear = r.Bool();
            f->sample_rate = r.I32();
            f->channels = r.I32();
            f->bits_per_sample = r.I32();
            f->codec = static_cast<kwix::AudioCodecType>(r.I32());
            f->pts = r.U32();
            f->has_voice = r.Bool();
            SetPayload(f.get(), r.Text());
            const std::string extra = r.Text();
            if (!extra.empty()) f->SetExtraData(reinterpret_cast<const uint8_t*>(extra.data()), extra.size());
            m.audio = std::move(f);
            break;
        }
        case Kind::kVideo: {
            auto f = std::make_shared<kwix::VideoFrame>();
            m.stream_type = r.I32();
            f->pts = r.U32();
            f->dts = r.U32();
            f->is_key_frame = r.Bool();
            f->codec = static_cast<kwix::VideoCodecType>(r.I32());
            f->rotation = static_cast<kwix::VideoRotation>(r.I32());
            SetPayload(f.get(), r.Text());
            m.video = std::move(f);
            break;
        }
        case Kind::kPixel: {
            auto f = std::make_shared<kwix::PixelFrame>();
            m.stream_type = r.I32();
            f->pts = r.U32();
            f->width = r.U32();
            f->height = r.U32();
            f->format = static_cast<kwix::VideoPixelFormat>(r.I32());
            f->rotation = static_cast<kwix::VideoRotation>(r.I32());
            SetPayload(f.get(), r.Text());
            m.pixel = std::move(f);
            break;
        }
        case Kind::kSei:
            m.number = r.I32();
            m.text = r.Text();
            break;
        case Kind::kCustomCmd:
            m.number = r.U32();
            m.flag = r.Bool();
            m.ordered = r.Bool();
            m.text = r.Text();
            break;
        case Kind::kNetwork: {
            const uint8_t what = r.U8();
            if (what < NetworkSetting::kUplink || what > NetworkSetting::kQuality) return DecodeResult::kMalformed;
            m.network.what = static_cast<NetworkSetting::What>(what);
            network::Link& l = m.network.link;
            m.network.value = static_cast<int64_t>(r.U64());
            l.latency_ms = static_cast<int64_t>(r.U64());
            l.jitter_ms = static_cast<int64_t>(r.U64());
            l.audio_loss = r.Share();
            l.video_loss = r.Share();
            l.command_loss = r.Share();
            l.reorder = r.Share();
            break;
        }
    }
    if (!r.ok() || !r.AtEnd()) return DecodeResult::kMalformed;
    *out = std::move(m);
    return DecodeResult::kOk;
}

}  // namespace bus
}  // namespace loopback
}  // namespace velmora
