#include "bus/wire.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "records/frames.h"

namespace velmora {
namespace loopback {
namespace bus {

namespace {

// Writer and Reader offer the same calls, so that one list of each kind's fields (Fields
// below) both encodes and decodes it, and the two can never disagree. Integers travel as
// little-endian bytes of their own width, enumerations as the width named at the call (As),
// a share (double) as the u64 of its bits, texts with a u32 length and short texts with a
// u16 one.
class Writer {
public:
    template <typename T>
    void Field(const T& v) {
        static_assert(std::is_integral<T>::value, "integers and bools only; As<> for the rest");
        Little(static_cast<uint64_t>(v), sizeof(T));
    }
    void Field(bool v) { Little(v ? 1 : 0, 1); }
    void Field(double v) {
        uint64_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        Field(bits);
    }
    void Field(const std::string& s) {
        Field(static_cast<uint32_t>(s.size()));
        out_.append(s);
    }
    template <typename Wire, typename T>
    void As(const T& v) {
        Field(static_cast<Wire>(v));
    }
    void Short(const std::string& s) {
        const size_t n = std::min<size_t>(s.size(), UINT16_MAX);
        Field(static_cast<uint16_t>(n));
        out_.append(s, 0, n);
    }
    // The frame a message carries.
    template <typename Frame>
    const Frame& Carried(const std::shared_ptr<const Frame>& frame) {
        return *frame;
    }
    // A frame's payload without data(), which the engine counts as a caller's read.
    template <typename Frame>
    void Payload(const Frame& f) {
        const loopback::Payload& p = static_cast<const FrameStore*>(f.handle())->data;
        Field(p ? *p : std::string());
    }
    void Extra(const kwix::AudioFrame& f) { Field(ExtraPayload(f)); }
    std::string Take() { return std::move(out_); }

private:
    void Little(uint64_t v, size_t bytes) {
        for (size_t i = 0; i < bytes; ++i) out_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    std::string out_;
};

class Reader {
public:
    explicit Reader(const std::string& in) : in_(in) {}
    bool ok() const { return ok_; }
    bool AtEnd() const { return pos_ == in_.size(); }

    template <typename T>
    void Field(T& v) {
        static_assert(std::is_integral<T>::value, "integers and bools only; As<> for the rest");
        v = static_cast<T>(Little(sizeof(T)));
    }
    void Field(bool& v) { v = Little(1) != 0; }
    void Field(double& v) {
        const uint64_t bits = Little(8);
        std::memcpy(&v, &bits, sizeof v);
    }
    void Field(std::string& s) { s = Bytes(static_cast<uint32_t>(Little(4))); }
    template <typename Wire, typename T>
    void As(T& v) {
        Wire wire{};
        Field(wire);
        v = static_cast<T>(wire);
    }
    void Short(std::string& s) { s = Bytes(static_cast<uint16_t>(Little(2))); }
    // A new frame for the message, filled by the calls that follow.
    template <typename Frame>
    Frame& Carried(std::shared_ptr<const Frame>& frame) {
        auto made = std::make_shared<Frame>();
        frame = made;
        return *made;
    }
    template <typename Frame>
    void Payload(Frame& f) {
        const std::string bytes = Bytes(static_cast<uint32_t>(Little(4)));
        f.SetData(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    void Extra(kwix::AudioFrame& f) {
        const std::string extra = Bytes(static_cast<uint32_t>(Little(4)));
        if (!extra.empty()) f.SetExtraData(reinterpret_cast<const uint8_t*>(extra.data()), extra.size());
    }

private:
    uint64_t Little(size_t bytes) {
        if (!ok_ || in_.size() - pos_ < bytes) {
            ok_ = false;
            return 0;
        }
        uint64_t v = 0;
        for (size_t i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(in_[pos_ + i])) << (8 * i);
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

// Everything after the kind, in wire order. `M` is `const Message` when encoding and
// `Message` when decoding.
template <typename Stream, typename M>
void Fields(Stream& s, M& m) {
    s.Field(m.origin);
    s.Field(m.sender);
    s.Field(m.seq);
    s.Short(m.user_id);
    switch (m.kind) {
        case Kind::kHello:
        case Kind::kHeartbeat:
        case Kind::kBye:
        case Kind::kExit:
            break;
        case Kind::kEnter:
            s.Field(m.role);
            break;
        case Kind::kAudioChannel:
            s.Field(m.open);
            s.template As<int32_t>(m.channel.rate);
            s.template As<int32_t>(m.channel.channels);
            s.template As<int32_t>(m.channel.frame_ms);
            s.template As<int32_t>(m.channel.bitrate_bps);
            s.Field(m.channel.need_encode);
            break;
        case Kind::kVideoChannel:
            s.Field(m.open);
            s.Field(m.stream_type);
            break;
        case Kind::kSubscribe:
            s.Short(m.target);
            s.Field(m.stream_type);
            s.Field(m.open);
            break;
        case Kind::kAudio: {
            s.Field(m.flag);
            s.Field(m.clear);
            auto& f = s.Carried(m.audio);
            s.Field(f.sample_rate);
            s.Field(f.channels);
            s.Field(f.bits_per_sample);
            s.template As<int32_t>(f.codec);
            s.Field(f.pts);
            s.Field(f.has_voice);
            s.Payload(f);
            s.Extra(f);
            break;
        }
        case Kind::kVideo: {
            s.Field(m.stream_type);
            auto& f = s.Carried(m.video);
            s.Field(f.pts);
            s.Field(f.dts);
            s.Field(f.is_key_frame);
            s.template As<int32_t>(f.codec);
            s.template As<int32_t>(f.rotation);
            s.Payload(f);
            break;
        }
        case Kind::kPixel: {
            s.Field(m.stream_type);
            auto& f = s.Carried(m.pixel);
            s.Field(f.pts);
            s.Field(f.width);
            s.Field(f.height);
            s.template As<int32_t>(f.format);
            s.template As<int32_t>(f.rotation);
            s.Payload(f);
            break;
        }
        case Kind::kSei:
            s.template As<int32_t>(m.number);
            s.Field(m.text);
            break;
        case Kind::kCustomCmd:
            s.template As<uint32_t>(m.number);
            s.Field(m.flag);
            s.Field(m.ordered);
            s.Field(m.text);
            break;
        case Kind::kNetwork: {
            auto& l = m.network.link;
            s.template As<uint8_t>(m.network.what);
            s.Field(m.network.value);
            s.Field(l.latency_ms);
            s.Field(l.jitter_ms);
            s.Field(l.audio_loss);
            s.Field(l.video_loss);
            s.Field(l.command_loss);
            s.Field(l.reorder);
            break;
        }
    }
}

}  // namespace

std::string Encode(const Message& m) {
    Writer w;
    w.Field(kWireVersion);
    w.As<uint8_t>(m.kind);
    Fields(w, m);
    return w.Take();
}

DecodeResult Decode(const std::string& bytes, Message* out, int* version) {
    Reader r(bytes);
    uint8_t v = 0;
    r.Field(v);
    if (!r.ok()) return DecodeResult::kMalformed;
    *version = v;
    if (v != kWireVersion) return DecodeResult::kUnknownVersion;
    Message m;
    uint8_t kind = 0;
    r.Field(kind);
    if (kind < static_cast<uint8_t>(Kind::kHello) || kind > static_cast<uint8_t>(Kind::kNetwork)) {
        return DecodeResult::kMalformed;
    }
    m.kind = static_cast<Kind>(kind);
    Fields(r, m);
    if (m.kind == Kind::kNetwork &&
        (m.network.what < NetworkSetting::kUplink || m.network.what > NetworkSetting::kQuality)) {
        return DecodeResult::kMalformed;
    }
    if (!r.ok() || !r.AtEnd()) return DecodeResult::kMalformed;
    *out = std::move(m);
    return DecodeResult::kOk;
}

}  // namespace bus
}  // namespace loopback
}  // namespace velmora
