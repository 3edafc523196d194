#include "media/room_audio.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_set>
#include <utility>

#include "delivery/delivery_pool.h"
#include "faults/faults.h"
#include "media/codec_workers.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

using namespace kwix;

namespace {

int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Half the time a delivered frame may wait: how long a send may wait for its tick, and how far
// behind a listener is when no frame is made for it.
int64_t HalfWaitNs(int64_t max_wait_ms) { return max_wait_ms * 1000000 / 2; }

int16_t Saturate(int32_t v) { return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v)); }

std::string PcmBytes(const int16_t* pcm, size_t count) {
    return std::string(reinterpret_cast<const char*>(pcm), count * sizeof(int16_t));
}

}  // namespace

// Audio cut into frames of one (format, frame length, codec), shared by its listeners.
struct RoomAudio::Chunker {
    std::vector<int16_t> fifo;
    std::unique_ptr<OpusStreamEncoder> encoder;
    std::vector<uint64_t> listeners;
};

// A sender's audio in one mixed format. Positions count sample frames of that format on the
// mix's time line (the engine clock's ms times rate / 1000): `start` is where fifo[head] plays.
struct RoomAudio::MixInput {
    std::vector<int16_t> fifo;
    size_t head = 0;
    int64_t start = 0;
    bool talking = false;  // in a talk spurt: `start` is set
    std::vector<int16_t> block;  // this tick's share of the mix, zeros where it is silent
    int64_t End(int channels) const { return start + static_cast<int64_t>((fifo.size() - head) / channels); }
};

// One mixed format: how far its mix has gone.
struct RoomAudio::MixState {
    int64_t done = 0;  // mix position up to which the mix is made
};

class RoomAudio::Sender {
public:
    Sender(uint64_t serial, const MemberConfig& c)
        : serial(serial), user_id(c.user_id), channel(c.channel), generation(c.channel_generation),
          stream{OpusRateFor(c.channel.rate), c.channel.channels}, decoder(stream) {
        if (channel.need_encode) encoder.reset(new OpusStreamEncoder(stream, channel.bitrate_bps));
    }

    // Turns what arrived into this tick's `packets`: the sender's own Opus frames, or what
    // the channel's encoder made of its PCM; and, when it is heard here (`decode`), their
    // decoding into this tick's stream samples (`fresh`).
    void Take(const std::vector<Queued>& pieces, bool decode) {
        fresh.clear();
        packets.clear();
        relay = false;
        sent_ns = 0;
        for (auto& b : branches) b.second.ready = false;
        for (const Queued& q : pieces) {
            const AudioFrame& f = *q.frame;
            relay = relay || q.relay;
            if (sent_ns == 0 || q.queued_ns < sent_ns) sent_ns = q.queued_ns;
            if (f.codec == AUDIO_CODEC_TYPE_OPUS) {
                Packed(f.data(), f.size(), decode);
                continue;
            }
            const PcmFormat format{f.sample_rate, f.channels};
            if (!input || input->from() != format) input.reset(new PcmConverter(format, stream));
            input->Convert(reinterpret_cast<const int16_t*>(f.data() + q.offset), q.bytes / sizeof(int16_t),
                           &unencoded);
        }
        const size_t frame = stream.SamplesIn(channel.frame_ms);
        size_t used = 0;
        for (; encoder && used + frame <= unencoded.size(); used += frame) {
            if (encoder->Encode(unencoded.data() + used, frame, &packet)) {
                Packed(reinterpret_cast<const uint8_t*>(packet.data()), packet.size(), decode);
            }
        }
        unencoded.erase(unencoded.begin(), unencoded.begin() + used);
        if (!decode) return;
        // Into every format its listeners use, while on this thread.
        for (const auto& c : chunkers) In(PcmFormat{std::get<0>(c.first), std::get<1>(c.first)});
        for (const auto& m : mix) In(m.first);
    }

    // This tick's packets as Opus frames of the stream, for the other processes.
    void Relay(std::vector<AudioRelay>* out) const {
        for (const Packet& p : packets) {
            auto f = std::make_shared<AudioFrame>();
            f->sample_rate = stream.rate;
            f->channels = stream.channels;
            f->bits_per_sample = 16;
            f->codec = AUDIO_CODEC_TYPE_OPUS;
            f->SetData(reinterpret_cast<const uint8_t*>(p.data.data()), p.data.size());
            out->push_back(AudioRelay{serial, std::move(f)});
        }
    }

    // This tick's samples in `format`, converted once per format.
    const std::vector<int16_t>& In(PcmFormat format) {
        if (format == stream) return fresh;
        Branch& b = branches[format];
        if (b.ready) return b.fresh;
        if (!b.converter) b.converter.reset(new PcmConverter(stream, format));
        b.fresh.clear();
        b.converter->Convert(fresh.data(), fresh.size(), &b.fresh);
        b.ready = true;
        return b.fresh;
    }

    // The resamplers' delay on the way to `format`, in its sample frames.
    int64_t DelayIn(PcmFormat format) {
        int64_t delay = 0;
        if (input) delay += static_cast<int64_t>(input->Delay()) * format.rate / stream.rate;
        if (format.rate != stream.rate) {
            Branch& b = branches[format];
            if (!b.converter) b.converter.reset(new PcmConverter(stream, format));
            delay += b.converter->Delay();
        }
        return delay;
    }

    // Whether this tick's packets can go as they are to a listener of `channels` and
    // `frame_ms`: all of one frame length, the stream's channel count.
    bool PacketsFit(int channels, int frame_ms) const {
        if (packets.empty() || channels != stream.channels) return false;
        const size_t samples = stream.SamplesIn(frame_ms) / static_cast<size_t>(stream.channels);
        for (const Packet& p : packets) {
            if (p.samples != samples) return false;
        }
        return true;
    }

    struct Branch {
        std::unique_ptr<PcmConverter> converter;
        std::vector<int16_t> fresh;
        bool ready = false;  // `fresh` holds this tick's conversion
    };
    struct Packet {
        std::string data;
        size_t samples = 0;  // per channel, at the stream's rate
    };

    const uint64_t serial;
    const std::string user_id;
    const ChannelParams channel;
    const uint64_t generation;
    const PcmFormat stream;
    std::unique_ptr<PcmConverter> input;
    std::vector<int16_t> unencoded;
    std::unique_ptr<OpusStreamEncoder> encoder;
    OpusStreamDecoder decoder;
    std::string packet;
    std::vector<int16_t> fresh;
    std::vector<Packet> packets;
    std::map<PcmFormat, Branch> branches;
    std::map<ChunkKey, Chunker> chunkers;
    std::map<PcmFormat, MixInput> mix;
    bool relay = false;  // this tick's packets go to the other processes
    int64_t sent_ns = 0;  // the send of this tick's earliest audio (steady clock), 0 for none

private:
    void Packed(const uint8_t* data, size_t size, bool decode) {
        size_t samples = 0;
        if (decode) {
            const size_t before = fresh.size();
            if (!decoder.Decode(data, size, &fresh)) return;
            samples = (fresh.size() - before) / static_cast<size_t>(stream.channels);
        } else {
            const int n = OpusPacketSamples(data, size, stream.rate);
            if (n <= 0) return;
            samples = static_cast<size_t>(n);
        }
        packets.push_back(Packet{std::string(reinterpret_cast<const char*>(data), size), samples});
    }
};

class RoomAudio::Listener {
public:
    struct Stream {
        bool started = false;
        int64_t next_pts = 0;
        std::unique_ptr<VoiceDetector> detector;
    };

    Listener(uint64_t serial, const MemberConfig& c)
        : serial(serial), user_id(c.user_id), params(c.listening), counters(c.counters), joined_ms(c.joined_ms),
          join(c.join) {}

    // pts of the stream's next frame, which stands for the engine clock's `when_ms`; has_voice
    // when detection is on.
    void Stamp(Stream& s, int64_t when_ms, const int16_t* pcm, size_t count, AudioFrame* f) {
        Stamp(s, when_ms, pcm, count, &f->pts, &f->has_voice);
    }
    void Stamp(Stream& s, int64_t when_ms, const int16_t* pcm, size_t count, uint32_t* pts, bool* has_voice) {
        *pts = static_cast<uint32_t>(NextPts(s, when_ms));
        if (!detect_voice) {
            s.detector.reset();
            *has_voice = false;
            return;
        }
        if (!s.detector) s.detector.reset(new VoiceDetector(params.format));
        *has_voice = s.detector->HasVoice(pcm, count);
    }
    // Also for a frame of the stream not made: its pts is used up all the same.
    int64_t NextPts(Stream& s, int64_t when_ms) {
        // A tick may run just after a join of the same ms or later: never before zero.
        const int64_t clock_pts = std::max<int64_t>(0, when_ms - joined_ms);
        if (!s.started || clock_pts - s.next_pts > params.frame_ms + kPtsResyncMs) {
            s.started = true;
            s.next_pts = std::max(s.next_pts, clock_pts);
        }
        const int64_t pts = s.next_pts;
        s.next_pts += params.frame_ms;
        return pts;
    }

    const uint64_t serial;
    const std::string user_id;
    const ListenerParams params;
    const std::shared_ptr<AudioCounters> counters;
    const int64_t joined_ms;
    const uint64_t join;  // MemberConfig::join
    bool detect_voice = false;
    uint64_t shed = 0;  // frames not made for it this tick, counted once the tick is done
    // Per-user frames due for it in this window, made or not for its being behind; and its
    // counters' frames delivered at the window's start.
    uint64_t window_due = 0;
    uint64_t delivered_seen = 0;
    // The listener's muted senders as last applied (MemberConfig::muted_version); a hash set,
    // since every configuration change asks it about every sender.
    std::unordered_set<std::string> muted;
    uint64_t muted_version = 0;
    std::map<uint64_t, Stream> streams;  // per-user, by sender
    Stream mixed;
    std::vector<int16_t> mix_pending;
    std::unique_ptr<OpusStreamEncoder> mix_encoder;
};

RoomAudio::RoomAudio() = default;
RoomAudio::~RoomAudio() = default;

void RoomAudio::Join(uint64_t serial, const std::string& user_id, const ListenerParams& listening, bool detect_voice,
                     std::shared_ptr<AudioCounters> counters, int64_t now_ms) {
    MutexLock lock(inbox_mu_);
    MemberConfig& c = config_[serial];
    c.joined_ms = now_ms;
    c.join = next_generation_++;
    c.user_id = user_id;
    c.listening = listening;
    c.detect_voice = detect_voice;
    c.counters = std::move(counters);
    c.muted_version = ++muted_versions_;
    ++version_;
}

void RoomAudio::Leave(uint64_t serial) {
    MutexLock lock(inbox_mu_);
    config_.erase(serial);
    ++version_;
}

void RoomAudio::OpenChannel(uint64_t serial, const ChannelParams& params) {
    MutexLock lock(inbox_mu_);
    auto it = config_.find(serial);
    if (it == config_.end()) return;
    it->second.open = true;
    it->second.channel = params;
    it->second.channel_generation = next_generation_++;
    ++version_;
}

void RoomAudio::CloseChannel(uint64_t serial) {
    MutexLock lock(inbox_mu_);
    auto it = config_.find(serial);
    if (it == config_.end()) return;
    MemberConfig& c = it->second;
    c.open = false;
    c.now.clear();
    c.now_us = 0;
    c.paced.clear();
    c.paced_us = 0;
    c.paced_idle = true;
    ++version_;
}

void RoomAudio::SetMuted(uint64_t serial, const std::string& sender, bool muted) {
    MutexLock lock(inbox_mu_);
    auto it = config_.find(serial);
    if (it == config_.end()) return;
    MemberConfig& c = it->second;
    const bool changed = muted ? c.muted.insert(sender).second : c.muted.erase(sender) != 0;
    if (!changed) return;
    c.muted_version = ++muted_versions_;
    ++version_;
}

void RoomAudio::SetVoiceDetection(uint64_t serial, bool on) {
    MutexLock lock(inbox_mu_);
    auto it = config_.find(serial);
    if (it == config_.end()) return;
    it->second.detect_voice = on;
    ++version_;
}

int RoomAudio::Submit(uint64_t serial, const AudioFrame& frame, bool continuous, bool clear_queue, bool relay) {
    const size_t size = frame.size();
    if (frame.codec == AUDIO_CODEC_TYPE_AAC) return ERR_NOT_SUPPORTED;
    if (size == 0) return ERR_INVALID_PARAMETER;
    int64_t duration_us = 0;
    const bool pcm = frame.codec == AUDIO_CODEC_TYPE_PCM;
    size_t frame_bytes = 0;  // one sample frame
    if (pcm) {
        if (frame.bits_per_sample != 16 || frame.sample_rate < 8000 || frame.sample_rate > 48000 ||
            frame.channels < 1 || frame.channels > 2 || size % (2u * static_cast<size_t>(frame.channels)) != 0) {
            return ERR_INVALID_PARAMETER;
        }
        frame_bytes = 2u * static_cast<size_t>(frame.channels);
        duration_us = static_cast<int64_t>(size / frame_bytes) * 1000000 / frame.sample_rate;
    } else if (frame.codec == AUDIO_CODEC_TYPE_OPUS) {
        const int samples = OpusPacketSamples(frame.data(), size, 48000);
        if (samples == 0) return ERR_INVALID_PARAMETER;
        duration_us = static_cast<int64_t>(samples) * 1000000 / 48000;
    } else {
        return ERR_INVALID_PARAMETER;
    }
    // Checked before the copy: a frame that can never be queued costs nothing.
    if (duration_us > kMaxSendQueueMs * 1000) return ERR_INVALID_PARAMETER;
    auto copy = std::make_shared<const AudioFrame>(frame);
    const int64_t queued_ns = SteadyNs();
    MutexLock lock(inbox_mu_);
    auto it = config_.find(serial);
    if (it == config_.end() || !it->second.open) return ERR_INVALID_OPERATION;
    MemberConfig& c = it->second;
    if (pcm && !c.channel.need_encode) return ERR_INVALID_PARAMETER;
    if (continuous && clear_queue) {
        size_t frames = 0;
        for (const Queued& q : c.paced) frames += q.last ? 1 : 0;
        if (c.counters) c.counters->dropped += frames;
        c.paced.clear();
        c.paced_us = 0;
    }
    std::deque<Queued>& queue = continuous ? c.paced : c.now;
    int64_t& queued_us = continuous ? c.paced_us : c.now_us;
    if (queued_us + duration_us > kMaxSendQueueMs * 1000) return kSendQueueFullError;
    queued_us += duration_us;
    // Pieces of the channel's frame length: what goes out per tick, or per paced step.
    const size_t piece = pcm ? static_cast<size_t>(frame.sample_rate) * c.channel.frame_ms / 1000 * frame_bytes : size;
    for (size_t offset = 0; offset < size; offset += piece) {
        const size_t bytes = std::min(piece, size - offset);
        const int64_t us = pcm ? static_cast<int64_t>(bytes / frame_bytes) * 1000000 / frame.sample_rate : duration_us;
        queue.push_back(Queued{copy, offset, bytes, us, offset + bytes == size, queued_ns, relay});
    }
    return ERR_OK;
}

void RoomAudio::TakeInputsLocked(int64_t now_ms, int64_t tick_ns, int64_t stale_before_ns,
                                 std::vector<Inputs>* inputs) {
    const int64_t now_us = now_ms * 1000;
    for (auto& entry : config_) {
        MemberConfig& c = entry.second;
        if (!c.open) continue;
        Inputs in{entry.first, {}};
        // Whole frames go out on this tick; a frame of several pieces at most
        // kMaxSendPerTickMs of them per tick, and what was sent after it waits behind it.
        int64_t pieces_us = 0;
        while (!c.now.empty()) {
            Queued& q = c.now.front();
            const bool whole = q.offset == 0 && q.last;
            if (!whole && pieces_us >= kMaxSendPerTickMs * 1000) break;
            if (!whole) pieces_us += q.duration_us;
            c.now_us -= q.duration_us;
            if (whole && q.queued_ns < stale_before_ns) {
                in.stale_us += q.duration_us;
                // Nobody elsewhere learns of a relayed frame that never left: the sender's count.
                if (q.relay && c.counters) ++c.counters->dropped;
            } else {
                // A piece held back by design was sent, as far as its wait goes, when it left.
                if (!whole) q.queued_ns = std::max(q.queued_ns, tick_ns);
                in.pieces.push_back(std::move(q));
            }
            c.now.pop_front();
        }
        if (!c.paced.empty() && c.paced_idle) {
            // A queue that ran dry starts again from now rather than bursting to catch up.
            c.next_release_us = now_us;
            c.paced_idle = false;
        }
        while (!c.paced.empty() && c.next_release_us <= now_us) {
            c.next_release_us += c.paced.front().duration_us;
            c.paced_us -= c.paced.front().duration_us;
            c.paced.front().queued_ns = std::max(c.paced.front().queued_ns, tick_ns);
            in.pieces.push_back(std::move(c.paced.front()));
            c.paced.pop_front();
        }
        if (c.paced.empty() && c.next_release_us <= now_us) c.paced_idle = true;
        if (!in.pieces.empty() || in.stale_us != 0) inputs->push_back(std::move(in));
    }
}

void RoomAudio::ShedInput(int64_t now_ms, Sender& sender, int64_t stale_us) {
    for (auto& entry : sender.chunkers) {
        const int frame_ms = std::get<2>(entry.first);
        // The listener's frames that audio would have made (a part of one makes none).
        const int64_t frames = stale_us / (static_cast<int64_t>(frame_ms) * 1000);
        if (frames == 0) continue;
        for (uint64_t serial : entry.second.listeners) {
            auto l = listeners_.find(serial);
            if (l == listeners_.end()) continue;
            Listener& listener = *l->second;
            Listener::Stream& stream = listener.streams[sender.serial];
            for (int64_t i = 0; i < frames; ++i) listener.NextPts(stream, now_ms);
            listener.shed += static_cast<uint64_t>(frames);
        }
    }
}

void RoomAudio::ApplyConfigLocked() {
    // Listeners: kept across changes (their pts and detectors carry on), dropped when gone.
    for (auto it = listeners_.begin(); it != listeners_.end();) {
        it = config_.count(it->first) ? std::next(it) : listeners_.erase(it);
    }
    for (const auto& entry : config_) {
        std::unique_ptr<Listener>& l = listeners_[entry.first];
        // A member that left and joined again between ticks is a new listener: its pts count
        // from the new join, in the format it now asks for.
        if (!l || l->join != entry.second.join) l.reset(new Listener(entry.first, entry.second));
        l->detect_voice = entry.second.detect_voice;
        // Copied only when it changed: a burst of joins changes some listeners at a time.
        if (l->muted_version != entry.second.muted_version) {
            l->muted = std::unordered_set<std::string>(entry.second.muted.begin(), entry.second.muted.end());
            l->muted_version = entry.second.muted_version;
        }
    }
    // Senders: a closed channel ends the stream; a reopened one is a new one.
    for (auto it = senders_.begin(); it != senders_.end();) {
        auto c = config_.find(it->first);
        const bool same = c != config_.end() && c->second.open && c->second.channel_generation == it->second->generation;
        it = same ? std::next(it) : senders_.erase(it);
    }
    for (const auto& entry : config_) {
        if (entry.second.open && !senders_.count(entry.first)) {
            senders_[entry.first].reset(new Sender(entry.first, entry.second));
        }
    }
    // Per-user streams of senders that are gone end with them.
    for (auto& l : listeners_) {
        auto& streams = l.second->streams;
        for (auto it = streams.begin(); it != streams.end();) {
            it = senders_.count(it->first) ? std::next(it) : streams.erase(it);
        }
    }
    // Who needs which sender in which form.
    for (auto& s : senders_) {
        Sender& sender = *s.second;
        std::map<ChunkKey, std::vector<uint64_t>> groups;
        std::set<PcmFormat> mixed;
        for (const auto& l : listeners_) {
            const Listener& listener = *l.second;
            if (listener.serial == sender.serial) continue;
            const ListenerParams& p = listener.params;
            if (p.how == Listening::kNone) continue;
            if (p.how == Listening::kPerUser) {
                if (listener.muted.count(sender.user_id)) continue;
                groups[ChunkKey{p.format.rate, p.format.channels, p.frame_ms, p.opus}].push_back(listener.serial);
            } else {
                mixed.insert(p.format);
            }
        }
        for (auto it = sender.chunkers.begin(); it != sender.chunkers.end();) {
            it = groups.count(it->first) ? std::next(it) : sender.chunkers.erase(it);
        }
        for (auto& g : groups) {
            Chunker& c = sender.chunkers[g.first];
            c.listeners = std::move(g.second);
            if (std::get<3>(g.first) && !c.encoder) {
                c.encoder.reset(new OpusStreamEncoder(PcmFormat{std::get<0>(g.first), std::get<1>(g.first)},
                                                      sender.channel.bitrate_bps));
            }
        }
        for (auto it = sender.mix.begin(); it != sender.mix.end();) {
            it = mixed.count(it->first) ? std::next(it) : sender.mix.erase(it);
        }
        for (const PcmFormat& f : mixed) sender.mix[f];
        for (auto it = sender.branches.begin(); it != sender.branches.end();) {
            bool used = mixed.count(it->first) != 0;
            for (const auto& c : sender.chunkers) {
                used = used || (PcmFormat{std::get<0>(c.first), std::get<1>(c.first)} == it->first);
            }
            it = used ? std::next(it) : sender.branches.erase(it);
        }
    }
}

std::shared_ptr<const AudioFrame> RoomAudio::MakeFrame(const ListenerParams& p, const std::string& payload) const {
    auto f = std::make_shared<AudioFrame>();
    f->sample_rate = p.format.rate;
    f->channels = p.format.channels;
    f->bits_per_sample = 16;
    f->codec = p.opus ? AUDIO_CODEC_TYPE_OPUS : AUDIO_CODEC_TYPE_PCM;
    f->SetData(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    return f;
}

void RoomAudio::DeliverPerUser(int64_t now_ms, Sender& sender, std::vector<AudioDelivery>* out, bool real_clock) {
    std::string payload;
    // A listener whose oldest queued frame waited half the time a frame may wait gets none
    // made now (counted as dropped): under more load than the process delivers, the tick
    // spends nothing on frames that would only expire.
    const int64_t max_wait_ms = faults::MediaMaxWaitMs();
    const int64_t behind_ns = HalfWaitNs(max_wait_ms);
    const int64_t steady_ns = SteadyNs();
    // A tick that ran so long that this sender's audio is already as old as a stale send
    // (TakeInputsLocked) makes nothing of it: what it made would reach the queues nearly
    // expired, and making it only makes the clock later still.
    const bool late = real_clock && behind_ns > 0 && sender.sent_ns != 0 && steady_ns - sender.sent_ns > behind_ns;
    for (auto& entry : sender.chunkers) {
        const ChunkKey& key = entry.first;
        Chunker& chunker = entry.second;
        const PcmFormat format{std::get<0>(key), std::get<1>(key)};
        const int frame_ms = std::get<2>(key);
        const size_t frame = format.SamplesIn(frame_ms);
        const auto deliver = [&](const int16_t* pcm, size_t count, const std::string& coded) {
            work_mu_.AssertHeld();  // called right here, within the tick
            std::shared_ptr<const AudioFrame> base;
            for (uint64_t serial : chunker.listeners) {
                auto l = listeners_.find(serial);
                if (l == listeners_.end()) continue;
                Listener& listener = *l->second;
                Listener::Stream& stream = listener.streams[sender.serial];
                const bool behind =
                    max_wait_ms > 0 && listener.counters && listener.counters->Behind(steady_ns, behind_ns);
                ++listener.window_due;
                if (late || behind) {
                    listener.NextPts(stream, now_ms);
                    ++listener.shed;
                    losing_.now = true;
                    behind_.now = behind_.now || behind;
                    continue;
                }
                if (!base) base = MakeFrame(listener.params, coded);
                AudioDelivery d{serial, sender.serial, sender.user_id, Listening::kPerUser, 0, listener.counters,
                                base};
                d.own_stamp = true;
                d.sent_ns = sender.sent_ns;
                listener.Stamp(stream, now_ms, pcm, count, &d.pts, &d.has_voice);
                out->push_back(std::move(d));
            }
        };
        // Converted on every tick, forwarded packets or not, so that the converter's stream
        // has no holes when coding starts again.
        const std::vector<int16_t>& in = sender.In(format);
        // Opus listeners whose channel count and frame length match the packets get them as
        // they are: one coding, whatever their rate.
        if (chunker.encoder && chunker.fifo.empty() && sender.PacketsFit(format.channels, frame_ms)) {
            for (size_t i = 0; i < sender.packets.size(); ++i) {
                const size_t offset = std::min(in.size(), i * frame);
                deliver(in.data() + offset, std::min(frame, in.size() - offset), sender.packets[i].data);
            }
            continue;
        }
        chunker.fifo.insert(chunker.fifo.end(), in.begin(), in.end());
        size_t used = 0;
        for (; used + frame <= chunker.fifo.size(); used += frame) {
            const int16_t* pcm = chunker.fifo.data() + used;
            if (chunker.encoder) {
                if (!chunker.encoder->Encode(pcm, frame, &payload)) continue;
            } else {
                payload = PcmBytes(pcm, frame);
            }
            deliver(pcm, frame, payload);
        }
        chunker.fifo.erase(chunker.fifo.begin(), chunker.fifo.begin() + used);
    }
}

void RoomAudio::NoteTickTime(int64_t began_ns, int64_t ended_ns) {
    busy_ns_ += ended_ns - began_ns;
    if (window_ns_ == 0) window_ns_ = began_ns;
    const int64_t span = ended_ns - window_ns_;
    if (span < kClockWindowNs) return;
    clock_share_ = 0.5 * clock_share_ + 0.5 * static_cast<double>(busy_ns_) / static_cast<double>(span);
    busy_ns_ = 0;
    window_ns_ = ended_ns;
    losing_.Close();
    behind_.Close();
    AdjustCodingCap(span);
}

void RoomAudio::AdjustCodingCap(int64_t window_ns) {
    // Of the per-user frames due for the receivers here (of the senders coded), how many
    // they took; the rest were not made for receivers behind, or expired queued. Receivers
    // that took none are stuck (a callback that blocks) rather than short of the process's
    // time, and left out.
    uint64_t due = 0;
    uint64_t took = 0;
    for (auto& l : listeners_) {
        Listener& listener = *l.second;
        if (!listener.counters) continue;
        const uint64_t delivered = listener.counters->delivered.load(std::memory_order_relaxed);
        if (listener.params.how == Listening::kPerUser && delivered != listener.delivered_seen) {
            due += listener.window_due;
            took += delivered - listener.delivered_seen;
        }
        listener.delivered_seen = delivered;
        listener.window_due = 0;
    }
    // Whether the delivery threads were busy throughout: only then are receivers short of
    // the process's time rather than slow themselves.
    const int64_t idle_ns = DeliveryPool::Instance().IdleNs();
    const bool saturated =
        static_cast<double>(idle_ns - delivery_idle_ns_) < kDeliveryIdleShare * static_cast<double>(window_ns);
    delivery_idle_ns_ = idle_ns;
    const size_t offered = offered_most_;
    offered_most_ = 0;
    if (offered == 0) {
        coding_cap_ = 0;  // nothing offered (or nothing that expires): nothing to hold back
        return;
    }
    const double taken = due == 0 ? 1.0 : static_cast<double>(took) / static_cast<double>(due);
    // Or whether the clock is short of time (ShedSenders), and what it codes reaches the
    // queues too late to be heard.
    const bool short_of_time = saturated || ClockShort();
    // A moment's stall of a busy machine is not enough: only windows in a row.
    wasting_.now = short_of_time && taken < kTakenLow;
    wasting_.Close();
    if (wasting_.Held()) {
        // More frames are made than the receivers take: code about as many senders as
        // bring the share they take to the middle of the band, a step at a time.
        const double factor = std::min(0.9, std::max(0.7, taken * 2 / (kTakenLow + kTakenHigh)));
        const size_t from = coding_cap_ != 0 ? coding_cap_ : offered;
        coding_cap_ = std::max<size_t>(1, static_cast<size_t>(static_cast<double>(from) * factor));
    } else if (coding_cap_ != 0 && (!short_of_time || taken > kTakenHigh)) {
        // The delivery had time to spare, or took nearly everything: it may take more.
        coding_cap_ += coding_cap_ / 8 + 1;
        if (coding_cap_ >= offered) coding_cap_ = 0;
    }
}

size_t RoomAudio::SendersToCode(size_t offered) const {
    size_t keep = offered;
    // The share of senders that brings the ticks back to kClockShare of the clock's time.
    if (ClockShort()) {
        const double within_share = static_cast<double>(offered) * kClockShare / clock_share_;
        keep = std::min(keep, static_cast<size_t>(std::ceil(within_share)));
    }
    if (coding_cap_ != 0) keep = std::min(keep, coding_cap_);
    return keep;
}

void RoomAudio::ShedSenders(int64_t now_ms, size_t keep, std::vector<Sender*>* busy,
                            std::vector<const std::vector<Queued>*>* pieces) {
    const size_t n = busy->size();
    const uint64_t turn = rotation_;
    std::vector<Sender*> kept;
    std::vector<const std::vector<Queued>*> kept_pieces;
    for (size_t i = 0; i < n; ++i) {
        const size_t k = static_cast<size_t>((turn + i) % n);
        Sender& sender = *(*busy)[k];
        const std::vector<Queued>& in = *(*pieces)[k];
        // Audio for other processes is theirs to shed.
        if (kept.size() < keep || (!in.empty() && in.front().relay)) {
            kept.push_back(&sender);
            kept_pieces.push_back(&in);
            continue;
        }
        ShedUncoded(now_ms, sender, in);
    }
    busy->swap(kept);
    pieces->swap(kept_pieces);
}

void RoomAudio::ShedUncoded(int64_t now_ms, Sender& sender, const std::vector<Queued>& pieces) {
    static const std::vector<Queued> kNothing;
    int64_t us = 0;
    for (const Queued& q : pieces) us += q.duration_us;
    ShedInput(now_ms, sender, us);
    sender.Take(kNothing, !sender.chunkers.empty() || !sender.mix.empty());
}

bool RoomAudio::NobodyTakesNow(const Sender& sender, int64_t steady_ns, int64_t behind_ns) const {
    if (!sender.mix.empty()) return false;
    for (const auto& entry : sender.chunkers) {
        for (uint64_t serial : entry.second.listeners) {
            auto l = listeners_.find(serial);
            if (l == listeners_.end()) continue;
            const Listener& listener = *l->second;
            if (!listener.counters || !listener.counters->Behind(steady_ns, behind_ns)) return false;
        }
    }
    return true;
}

void RoomAudio::Mix(int64_t now_ms, std::vector<AudioDelivery>* out) {
    std::set<PcmFormat> formats;
    for (const auto& l : listeners_) {
        const Listening how = l.second->params.how;
        if (how == Listening::kMixed || how == Listening::kPulled) formats.insert(l.second->params.format);
    }
    for (auto it = mixes_.begin(); it != mixes_.end();) {
        it = formats.count(it->first) ? std::next(it) : mixes_.erase(it);
    }
    for (const PcmFormat& format : formats) {
        std::unique_ptr<MixState>& mix = mixes_[format];
        if (!mix) {
            // The first tick makes 10 ms, then one tick's worth per tick while nobody talks.
            mix.reset(new MixState);
            mix->done = static_cast<int64_t>(format.rate) * (now_ms - kMixIdleLagMs - 10) / 1000;
        }
        MixFormat(now_ms, format, *mix, out);
    }
}

void RoomAudio::MixFormat(int64_t now_ms, const PcmFormat& format, MixState& mix, std::vector<AudioDelivery>* out) {
    const int channels = format.channels;
    const int64_t now = static_cast<int64_t>(format.rate) * now_ms / 1000;
    const int64_t idle = static_cast<int64_t>(format.rate) * (now_ms - kMixIdleLagMs) / 1000;
    const int64_t backlog = static_cast<int64_t>(format.rate) * kMixMaxBacklogMs / 1000;
    // Resamplers' delays are made up to the largest, so that every sender's audio is in step.
    // The listeners' frame grid: the longest frame among them, from where its frames begin.
    int64_t grid = 0;
    int64_t grid_origin = 0;
    for (const auto& l : listeners_) {
        const ListenerParams& p = l.second->params;
        if ((p.how != Listening::kMixed && p.how != Listening::kPulled) || p.format != format) continue;
        const int64_t frame = static_cast<int64_t>(format.rate) * p.frame_ms / 1000;
        if (frame <= grid) continue;
        grid = frame;
        grid_origin = mix.done - static_cast<int64_t>(l.second->mix_pending.size() / channels);
    }
    std::map<uint64_t, int64_t> delays;
    int64_t delay = 0;
    for (auto& s : senders_) {
        if (!s.second->mix.count(format)) continue;
        const int64_t d = s.second->DelayIn(format);
        delays[s.first] = d;
        delay = std::max(delay, d);
    }
    // Senders who begin a talk spurt now, and whether anyone else was talking already.
    std::vector<std::pair<uint64_t, MixInput*>> beginning;
    bool others = false;
    for (auto& s : senders_) {
        auto m = s.second->mix.find(format);
        if (m == s.second->mix.end()) continue;
        MixInput& in = m->second;
        const bool flowing = in.talking && in.End(channels) >= mix.done;
        if (!s.second->In(format).empty() && !flowing) {
            beginning.emplace_back(s.first, &in);
        } else if (in.talking && in.End(channels) >= idle) {
            others = true;
        }
    }
    // A talk spurt starts where its first audio began (on the clock, when it arrived), its
    // resamplers' delay made up to the largest. Into a quiet mix it starts on a listener's
    // frame boundary just before that, if the mix has not gone past it: the spurt's first
    // frame is then whole as soon as its audio is there. All who begin together move alike.
    int64_t shift = -1;
    for (auto& b : beginning) {
        MixInput& in = *b.second;
        const int64_t arrived = static_cast<int64_t>(senders_[b.first]->In(format).size() / channels);
        const int64_t natural = now - arrived + delay - delays[b.first];
        if (shift < 0) {
            shift = 0;
            if (!others && grid > 0) {
                const int64_t phase = ((natural - grid_origin) % grid + grid) % grid;
                if (natural - phase >= mix.done) shift = phase;
            }
        }
        in.fifo.clear();
        in.head = 0;
        in.start = std::max(mix.done, natural - shift);
        in.talking = true;
    }
    int64_t end = now;
    bool talking = false;
    for (auto& s : senders_) {
        auto m = s.second->mix.find(format);
        if (m == s.second->mix.end()) continue;
        MixInput& in = m->second;
        const std::vector<int16_t>& fresh = s.second->In(format);
        in.fifo.insert(in.fifo.end(), fresh.begin(), fresh.end());
        const int64_t excess = in.End(channels) - mix.done - backlog;
        if (excess > 0) {
            in.head += static_cast<size_t>(excess) * channels;
            in.start += excess;
        }
        // A sender still talking holds the mix back, for at most kMixIdleLagMs.
        if (in.talking && in.End(channels) >= idle) {
            talking = true;
            end = std::min(end, in.End(channels));
        }
    }
    if (!talking) end = idle;
    end = std::max(end, std::max(idle, mix.done));
    const size_t length = static_cast<size_t>(end - mix.done) * channels;
    if (length == 0) return;
    std::vector<int32_t> sum(length, 0);
    for (auto& s : senders_) {
        auto m = s.second->mix.find(format);
        if (m == s.second->mix.end()) continue;
        MixInput& in = m->second;
        in.block.assign(length, 0);
        if (!in.talking) continue;
        const int64_t from = std::max(in.start, mix.done);
        const int64_t to = std::min(in.End(channels), end);
        if (to > from) {
            in.head += static_cast<size_t>(from - in.start) * channels;
            const auto first = in.fifo.begin() + static_cast<std::ptrdiff_t>(in.head);
            std::copy(first, first + (to - from) * channels, in.block.begin() + (from - mix.done) * channels);
            in.head += static_cast<size_t>(to - from) * channels;
            in.start = to;
        }
        if (in.head == in.fifo.size()) {
            in.fifo.clear();
            in.head = 0;
        } else if (in.head > in.fifo.size() / 2) {
            in.fifo.erase(in.fifo.begin(), in.fifo.begin() + static_cast<std::ptrdiff_t>(in.head));
            in.head = 0;
        }
        for (size_t i = 0; i < length; ++i) sum[i] += in.block[i];
    }
    mix.done = end;
    std::vector<int16_t> mine(length);
    std::vector<int32_t> minus(length);
    std::string payload;
    for (auto& l : listeners_) {
        Listener& listener = *l.second;
        const ListenerParams& p = listener.params;
        if ((p.how != Listening::kMixed && p.how != Listening::kPulled) || p.format != format) continue;
        bool heard = false;
        std::fill(minus.begin(), minus.end(), 0);
        for (auto& s : senders_) {
            Sender& sender = *s.second;
            const bool excluded = sender.serial == listener.serial || listener.muted.count(sender.user_id) != 0;
            heard = heard || sender.serial != listener.serial;
            if (!excluded) continue;
            auto m = sender.mix.find(format);
            if (m == sender.mix.end()) continue;
            for (size_t i = 0; i < length; ++i) minus[i] += m->second.block[i];
        }
        if (!heard) continue;
        for (size_t i = 0; i < length; ++i) mine[i] = Saturate(sum[i] - minus[i]);
        listener.mix_pending.insert(listener.mix_pending.end(), mine.begin(), mine.end());
        const size_t frame = format.SamplesIn(p.frame_ms);
        size_t used = 0;
        for (; used + frame <= listener.mix_pending.size(); used += frame) {
            const int16_t* pcm = listener.mix_pending.data() + used;
            bool ok = true;
            if (p.opus) {
                if (!listener.mix_encoder) listener.mix_encoder.reset(
                        new OpusStreamEncoder(format, kMixOpusBitrateBps, OpusStreamEncoder::Content::kMix));
                ok = listener.mix_encoder->Encode(pcm, frame, &payload);
            } else {
                payload = PcmBytes(pcm, frame);
            }
            if (!ok) continue;
            auto f = std::make_shared<AudioFrame>(*MakeFrame(p, payload));
            // A mix frame stands for its end on the mix's time line, played kMixIdleLagMs
            // later: while nobody talks, the clock at its delivery.
            const int64_t end = mix.done - static_cast<int64_t>((listener.mix_pending.size() - used) / channels) +
                                static_cast<int64_t>(frame / channels);
            listener.Stamp(listener.mixed, end * 1000 / format.rate + kMixIdleLagMs, pcm, frame, f.get());
            const size_t limit = static_cast<size_t>(kPullBacklogMs / p.frame_ms);
            out->push_back(AudioDelivery{listener.serial, 0, std::string(), p.how, limit, listener.counters,
                                         std::move(f)});
        }
        listener.mix_pending.erase(listener.mix_pending.begin(), listener.mix_pending.begin() + used);
    }
}

void RoomAudio::Tick(int64_t now_ms, std::vector<AudioDelivery>* out, bool real_clock,
                     std::vector<AudioRelay>* relayed) {
    MutexLock work(work_mu_);
    const int64_t tick_ns = SteadyNs();
    // However the tick ends, its time counts toward the clock's share (ShedSenders).
    struct Timing {
        RoomAudio* audio;
        int64_t began_ns;
        ~Timing() { audio->NoteTickTime(began_ns, SteadyNs()); }
    } timing{this, tick_ns};
    std::vector<Inputs> inputs;
    const int64_t max_wait_ms = faults::MediaMaxWaitMs();
    const int64_t stale_before_ns =
        real_clock && max_wait_ms > 0 ? tick_ns - HalfWaitNs(max_wait_ms) : std::numeric_limits<int64_t>::min();
    {
        MutexLock lock(inbox_mu_);
        if (applied_version_ != version_) {
            applied_version_ = version_;
            ApplyConfigLocked();
        }
        TakeInputsLocked(now_ms, tick_ns, stale_before_ns, &inputs);
    }
    if (senders_.empty()) {
        mixes_.clear();  // a mix starts afresh with the next open channel
        return;
    }
    std::map<uint64_t, const std::vector<Queued>*> arrived;
    for (const Inputs& in : inputs) {
        arrived[in.serial] = &in.pieces;
        if (in.stale_us == 0) continue;
        auto s = senders_.find(in.serial);
        if (s != senders_.end()) ShedInput(now_ms, *s->second, in.stale_us);
        losing_.now = true;
    }
    static const std::vector<Queued> kNothing;
    std::vector<Sender*> heard;
    std::vector<Sender*> busy;  // senders with audio this tick, heard here or relayed
    std::vector<const std::vector<Queued>*> pieces;
    for (auto& s : senders_) {
        Sender& sender = *s.second;
        const bool here = !sender.chunkers.empty() || !sender.mix.empty();
        auto a = arrived.find(s.first);
        // Nobody hears it here (everyone unsubscribed it, or the only others are members of
        // other processes, and its audio is not relayed to them): its audio is dropped here
        // unconverted, so a room of many senders costs what its listeners hear.
        const bool relaying = a != arrived.end() && !a->second->empty() && a->second->front().relay;
        if (!here && !relaying) continue;
        if (here) heard.push_back(&sender);
        if (a == arrived.end()) {
            sender.Take(kNothing, here);
        } else {
            busy.push_back(&sender);
            pieces.push_back(a->second);
        }
    }
    // A sender whose every listener here is behind would make nothing now (DeliverPerUser):
    // its audio is shed uncoded, unless it goes to other processes.
    if (real_clock && max_wait_ms > 0) {
        offered_most_ = std::max(offered_most_, busy.size());
        const int64_t steady_ns = SteadyNs();
        const int64_t behind_ns = HalfWaitNs(max_wait_ms);
        size_t kept = 0;
        for (size_t i = 0; i < busy.size(); ++i) {
            Sender& sender = *busy[i];
            const bool relaying = !pieces[i]->empty() && pieces[i]->front().relay;
            if (!relaying && NobodyTakesNow(sender, steady_ns, behind_ns)) {
                ShedUncoded(now_ms, sender, *pieces[i]);
                losing_.now = behind_.now = true;
                continue;
            }
            busy[kept] = busy[i];
            pieces[kept] = pieces[i];
            ++kept;
        }
        busy.resize(kept);
        pieces.resize(kept);
    }
    // A clock whose ticks take more than their share of its time, while the process loses
    // frames for want of time, codes fewer senders; so does one whose receivers take fewer
    // frames than it makes.
    if (real_clock) {
        const size_t keep = SendersToCode(busy.size());
        if (keep < busy.size()) ShedSenders(now_ms, keep, &busy, &pieces);
    }
    // Each sender's conversion and coding is its own: they run side by side, though not on
    // every core while receivers here are behind: the delivery of what they make needs one.
    // (A clock merely late, its receivers keeping up, codes on every core to catch up.)
    CodecWorkers::Instance().Run(
        busy.size(),
        [&](size_t i) {
            Sender& sender = *busy[i];
            sender.Take(*pieces[i], !sender.chunkers.empty() || !sender.mix.empty());
        },
        real_clock && behind_.Held());
    if (relayed != nullptr) {
        for (Sender* sender : busy) {
            if (sender->relay) sender->Relay(relayed);
        }
    }
    // Each tick starts the fan-out with the next sender: when a tick that ran late sheds the
    // last senders' frames (DeliverPerUser), the loss goes round.
    const size_t first = heard.empty() ? 0 : static_cast<size_t>(rotation_++ % heard.size());
    for (size_t i = 0; i < heard.size(); ++i) {
        Sender& sender = *heard[(first + i) % heard.size()];
        if (!sender.fresh.empty()) DeliverPerUser(now_ms, sender, out, real_clock);
    }
    for (auto& l : listeners_) {
        Listener& listener = *l.second;
        if (listener.shed == 0) continue;
        listener.counters->shed += listener.shed;
        listener.counters->dropped += listener.shed;
        listener.shed = 0;
    }
    Mix(now_ms, out);
}

}  // namespace loopback
}  // namespace velmora
