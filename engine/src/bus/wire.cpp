#include "bus/wire.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <utility>
#include <variant>

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
    void Field(bool& v) {
        const uint64_t byte = Little(1);
        if (byte > 1) ok_ = false;
        v = byte != 0;
    }
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

template <typename T>
struct Unlisted : std::false_type {};

// A room operation's fields, in wire order. `O` is const when encoding.
template <typename Stream, typename O>
void OperationFields(Stream& s, O& o) {
    using T = std::remove_const_t<O>;
    if constexpr (std::is_same<T, op::Enter>::value) {
        s.template As<int32_t>(o.role);
    } else if constexpr (std::is_same<T, op::Exit>::value) {
    } else if constexpr (std::is_same<T, op::AudioChannel>::value) {
        s.Field(o.open);
        s.template As<int32_t>(o.channel.rate);
        s.template As<int32_t>(o.channel.channels);
        s.template As<int32_t>(o.channel.frame_ms);
        s.template As<int32_t>(o.channel.bitrate_bps);
        s.Field(o.channel.need_encode);
    } else if constexpr (std::is_same<T, op::VideoChannel>::value) {
        s.Field(o.open);
        s.template As<int32_t>(o.type);
    } else if constexpr (std::is_same<T, op::Subscription>::value) {
        s.Short(o.user_id);
        s.template As<int32_t>(o.type);
        s.Field(o.on);
    } else if constexpr (std::is_same<T, op::Audio>::value) {
        s.Field(o.continuous);
        s.Field(o.clear_send_queue);
        auto& f = s.Carried(o.frame);
        s.Field(f.sample_rate);
        s.Field(f.channels);
        s.Field(f.bits_per_sample);
        s.template As<int32_t>(f.codec);
        s.Field(f.pts);
        s.Field(f.has_voice);
        s.Payload(f);
        s.Extra(f);
    } else if constexpr (std::is_same<T, op::Video>::value) {
        s.template As<int32_t>(o.type);
        auto& f = s.Carried(o.frame);
        s.Field(f.pts);
        s.Field(f.dts);
        s.Field(f.is_key_frame);
        s.template As<int32_t>(f.codec);
        s.template As<int32_t>(f.rotation);
        s.Payload(f);
    } else if constexpr (std::is_same<T, op::Pixels>::value) {
        s.template As<int32_t>(o.type);
        auto& f = s.Carried(o.frame);
        s.Field(f.pts);
        s.Field(f.width);
        s.Field(f.height);
        s.template As<int32_t>(f.format);
        s.template As<int32_t>(f.rotation);
        s.Payload(f);
    } else if constexpr (std::is_same<T, op::VideoParams>::value) {
        s.template As<int32_t>(o.type);
        s.Field(o.params.frame_rate);
        s.Field(o.params.bitrate_bps);
        s.Field(o.params.gop_in_seconds);
    } else if constexpr (std::is_same<T, op::Sei>::value) {
        s.Field(o.message_type);
        s.Field(o.message);
    } else if constexpr (std::is_same<T, op::Command>::value) {
        s.Field(o.cmd_id);
        s.Field(o.reliable);
        s.Field(o.ordered);
        s.Field(o.message);
    } else {
        static_assert(Unlisted<T>::value, "every operation has its field list");
    }
}

// The kind of each alternative of Operation, by index.
constexpr Kind kOperationKinds[] = {Kind::kEnter, Kind::kExit,  Kind::kAudioChannel, Kind::kVideoChannel,
                                    Kind::kSubscribe, Kind::kAudio, Kind::kVideo, Kind::kPixel,
                                    Kind::kSei,   Kind::kCustomCmd, Kind::kVideoParams};
static_assert(sizeof kOperationKinds / sizeof kOperationKinds[0] == std::variant_size<Operation>::value,
              "a kind for every operation");

// The alternative of `Variant` with that index, default-made; false for an index beyond them.
template <typename Variant, size_t... I>
bool MakeAlternative(size_t index, Variant* out, std::index_sequence<I...>) {
    return ((index == I ? (*out = std::variant_alternative_t<I, Variant>{}, true) : false) || ...);
}
template <typename Variant>
bool MakeAlternative(size_t index, Variant* out) {
    return MakeAlternative(index, out, std::make_index_sequence<std::variant_size<Variant>::value>());
}

// Every field of a network setting, whatever its kind: the setting lists its own.
template <typename Stream>
struct SettingField {
    Stream& s;
    template <typename T>
    void operator()(T& v) {
        s.Field(v);
    }
};

// Everything after the kind, in wire order.
void Write(Writer& w, const Message& m) {
    w.Field(m.origin);
    w.Field(m.sender);
    w.Field(m.seq);
    w.Short(m.user_id);
    if (IsOperation(m.kind)) {
        std::visit([&](const auto& o) { OperationFields(w, o); }, m.operation);
    } else if (m.kind == Kind::kNetwork) {
        w.Field(static_cast<uint8_t>(m.setting.index()));
        // Fields() is not const: it serves decoding too. The copy is a handful of values.
        network::Setting copy = m.setting;
        SettingField<Writer> field{w};
        std::visit([&](auto& setting) { setting.Fields(field); }, copy);
    }
}

bool Read(Reader& r, Message& m) {
    r.Field(m.origin);
    r.Field(m.sender);
    r.Field(m.seq);
    r.Short(m.user_id);
    if (IsOperation(m.kind)) {
        const auto* at = std::find(std::begin(kOperationKinds), std::end(kOperationKinds), m.kind);
        MakeAlternative(static_cast<size_t>(at - std::begin(kOperationKinds)), &m.operation);
        std::visit([&](auto& o) { OperationFields(r, o); }, m.operation);
        if (auto* enter = std::get_if<op::Enter>(&m.operation)) enter->user_id = m.user_id;
    } else if (m.kind == Kind::kNetwork) {
        uint8_t index = 0;
        r.Field(index);
        if (!r.ok() || !MakeAlternative(index, &m.setting)) return false;
        SettingField<Reader> field{r};
        std::visit([&](auto& setting) { setting.Fields(field); }, m.setting);
    }
    return r.ok() && r.AtEnd();
}

}  // namespace

bool IsOperation(Kind kind) {
    return std::find(std::begin(kOperationKinds), std::end(kOperationKinds), kind) != std::end(kOperationKinds);
}

Kind KindOf(const Operation& operation) { return kOperationKinds[operation.index()]; }

Message OperationMessage(const Operation& operation) {
    Message m;
    m.kind = KindOf(operation);
    m.operation = operation;
    return m;
}

std::string Encode(const Message& m) {
    Writer w;
    w.Field(kWireVersion);
    w.As<uint8_t>(m.kind);
    Write(w, m);
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
    m.kind = static_cast<Kind>(kind);
    const bool known = kind == static_cast<uint8_t>(Kind::kHello) || kind == static_cast<uint8_t>(Kind::kHeartbeat) ||
                       kind == static_cast<uint8_t>(Kind::kBye) || kind == static_cast<uint8_t>(Kind::kNetwork) ||
                       IsOperation(m.kind);
    if (!r.ok() || !known || !Read(r, m)) return DecodeResult::kMalformed;
    *out = std::move(m);
    return DecodeResult::kOk;
}

}  // namespace bus
}  // namespace loopback
}  // namespace velmora
