#include "media/room_audio.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "faults/faults.h"
#include "media/audio_workers.h"

namespace velmora {
namespace loopback {

using namespace kwix;

namespace {

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

// A sender's audio in one format waiting to be mixed, behind its jitter buffer.
struct RoomAudio::MixInput {
    std::vector<int16_t> fifo;
    size_t head = 0;
    bool primed = false;
    std::vector<int16_t> block;  // this tick's 10 ms
};

class RoomAudio::Sender {
public:
    Sender(uint64_t serial, const MemberConfig& c)
        : serial(serial), user_id(c.user_id), channel(c.channel), generation(c.channel_generation),
          stream{OpusRateFor(c.channel.rate), c.channel.channels}, decoder(stream) {
        if (channel.need_encode) encoder.reset(new OpusStreamEncoder(stream, channel.bitrate_bps));
    }

    // Turns what arrived into this tick's stream samples (`fresh`) and, when all of them came
    // from this channel's own encoder, keeps its packets (`sent`), one per channel frame.
    void Take(const std::vector<std::shared_ptr<const AudioFrame>>& frames) {
        fresh.clear();
        sent.clear();
        only_own_packets = true;
        for (auto& b : branches) b.second.ready = false;
        for (const auto& f : frames) {
            if (f->codec == AUDIO_CODEC_TYPE_OPUS) {
                decoder.Decode(f->data(), f->size(), &fresh);
                only_own_packets = false;
                continue;
            }
            const PcmFormat format{f->sample_rate, f->channels};
            if (!input || input->from() != format) input.reset(new PcmConverter(format, stream));
            input->Convert(reinterpret_cast<const int16_t*>(f->data()), f->size() / sizeof(int16_t), &unencoded);
        }
        const size_t frame = stream.SamplesIn(channel.frame_ms);
        size_t used = 0;
        for (; encoder && used + frame <= unencoded.size(); used += frame) {
            if (!encoder->Encode(unencoded.data() + used, frame, &packet)) continue;
            const size_t before = fresh.size();
            decoder.Decode(reinterpret_cast<const uint8_t*>(packet.data()), packet.size(), &fresh);
            if (fresh.size() - before == frame) {
                sent.push_back(packet);
            } else {
                only_own_packets = false;
            }
        }
        unencoded.erase(unencoded.begin(), unencoded.begin() + used);
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

    struct Branch {
        std::unique_ptr<PcmConverter> converter;
        std::vector<int16_t> fresh;
        bool ready = false;  // `fresh` holds this tick's conversion
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
    std::vector<std::string> sent;
    bool only_own_packets = true;
    std::map<PcmFormat, Branch> branches;
    std::map<ChunkKey, Chunker> chunkers;
    std::map<PcmFormat, MixInput> mix;
};

class RoomAudio::Listener {
public:
    struct Stream {
        bool started = false;
        int64_t next_pts = 0;
        std::unique_ptr<VoiceDetector> detector;
    };

    Listener(uint64_t serial, const MemberConfig& c)
        : serial(serial), user_id(c.user_id), params(c.listening), counters(c.counters), joined_ms(c.joined_ms) {}

    // pts of the stream's next frame; has_voice when detection is on.
    void Stamp(Stream& s, int64_t now_ms, const int16_t* pcm, size_t count, AudioFrame* f) {
        Stamp(s, now_ms, pcm, count, &f->pts, &f->has_voice);
    }
    void Stamp(Stream& s, int64_t now_ms, const int16_t* pcm, size_t count, uint32_t* pts, bool* has_voice) {
        *pts = static_cast<uint32_t>(NextPts(s, now_ms));
        if (!detect_voice) {
            s.detector.reset();
            *has_voice = false;
            return;
        }
        if (!s.detector) s.detector.reset(new VoiceDetector(params.format));
        *has_voice = s.detector->HasVoice(pcm, count);
    }
    // A frame of the stream not made: its pts is used up all the same.
    int64_t NextPts(Stream& s, int64_t now_ms) {
        if (!s.started) {
            s.started = true;
            s.next_pts = now_ms - joined_ms;
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
    bool detect_voice = false;
    uint64_t shed = 0;  // frames not made for it this tick, counted once the tick is done
    std::set<std::string> muted;
    std::map<uint64_t, Stream> streams;  // per-user, by sender
    Stream mixed;
    std::vector<int16_t> mix_pending;
    std::unique_ptr<OpusStreamEncoder> mix_encoder;
};

RoomAudio::RoomAudio() = default;
RoomAudio::~RoomAudio() = default;

void RoomAudio::Join(uint64_t serial, const std::string& user_id, const ListenerParams& listening, bool detect_voice,
                     std::shared_ptr<AudioCounters> counters, int64_t now_ms) {
    std::lock_guard<std::mutex> lock(inbox_mu_);
    MemberConfig& c = config_[serial];
    c.joined_ms = now_ms;
    c.user_id = user_id;
    c.listening = listening;
    c.detect_voice = detect_voice;
    c.counters = std::move(counters);
    ++version_;
}

void RoomAudio::Leave(uint64_t serial) {
    std::lock_guard<std::mutex> lock(inbox_mu_);
    config_.erase(serial);
    ++version_;
}

void RoomAudio::OpenChannel(uint64_t serial, const ChannelParams& params) {
    std::lock_guard<std::mutex> lock(inbox_mu_);
    auto it = config_.find(serial);
    if (it == config_.end()) return;
    it->second.open = true;
    it->second.channel = params;
    it->second.channel_generation = next_generation_++;
    ++version_;
}

void RoomAudio::CloseChannel(uint64_t serial) {
    std::lock_guard<std::mutex> lock(inbox_mu_);
    auto it = config_.find(serial);
    if (it == config_.end()) return;
    MemberConfig& c = it->second;
    c.open = false;
    c.now.clear();
    c.paced.clear();
    c.paced_us = 0;
    c.paced_idle = true;
    ++version_;
}

void RoomAudio::SetMuted(uint64_t serial, const std::string& sender, bool muted) {
    std::lock_guard<std::mutex> lock(inbox_mu_);
    auto it = config_.find(serial);
    if (it == config_.end()) return;
    if (muted) {
        it->second.muted.insert(sender);
    } else {
        it->second.muted.erase(sender);
    }
    ++version_;
}

void RoomAudio::SetVoiceDetection(uint64_t serial, bool on) {
    std::lock_guard<std::mutex> lock(inbox_mu_);
    auto it = config_.find(serial);
    if (it == config_.end()) return;
    it->second.detect_voice = on;
    ++version_;
}

int RoomAudio::Submit(uint64_t serial, const AudioFrame& frame, bool continuous, bool clear_queue) {
    const size_t size = frame.size();
    if (frame.codec == AUDIO_CODEC_TYPE_AAC) return ERR_NOT_SUPPORTED;
    if (size == 0) return ERR_INVALID_PARAMETER;
    int64_t duration_us = 0;
    const bool pcm = frame.codec == AUDIO_CODEC_TYPE_PCM;
    if (pcm) {
        if (frame.bits_per_sample != 16 || frame.sample_rate < 8000 || frame.sample_rate > 48000 ||
            frame.channels < 1 || frame.channels > 2 || size % (2u * static_cast<size_t>(frame.channels)) != 0) {
            return ERR_INVALID_PARAMETER;
        }
        duration_us = static_cast<int64_t>(size / (2u * frame.channels)) * 1000000 / frame.sample_rate;
    } else if (frame.codec == AUDIO_CODEC_TYPE_OPUS) {
        const int samples = OpusPacketSamples(frame.data(), size, 48000);
        if (samples == 0) return ERR_INVALID_PARAMETER;
        duration_us = static_cast<int64_t>(samples) * 1000000 / 48000;
    } else {
        return ERR_INVALID_PARAMETER;
    }
    auto copy = std::make_shared<const AudioFrame>(frame);
    std::lock_guard<std::mutex> lock(inbox_mu_);
    auto it = config_.find(serial);
    if (it == config_.end() || !it->second.open) return ERR_INVALID_OPERATION;
    MemberConfig& c = it->second;
    if (pcm && !c.channel.need_encode) return ERR_INVALID_PARAMETER;
    if (!continuous) {
        c.now.push_back(Queued{std::move(copy), duration_us});
        return ERR_OK;
    }
    if (clear_queue) {
        if (c.counters) c.counters->dropped += c.paced.size();
        c.paced.clear();
        c.paced_us = 0;
    }
    if (c.paced_us + duration_us > kMaxSendQueueMs * 1000) return kSendQueueFullError;
    c.paced.push_back(Queued{std::move(copy), duration_us});
    c.paced_us += duration_us;
    return ERR_OK;
}

void RoomAudio::TakeInputsLocked(int64_t now_ms, std::vector<Inputs>* inputs) {
    const int64_t now_us = now_ms * 1000;
    for (auto& entry : config_) {
        MemberConfig& c = entry.second;
        if (!c.open) continue;
        Inputs in{entry.first, {}};
        for (Queued& q : c.now) in.frames.push_back(std::move(q.frame));
        c.now.clear();
        if (!c.paced.empty() && c.paced_idle) {
            // A queue that ran dry starts again from now rather than bursting to catch up.
            c.next_release_us = now_us;
            c.paced_idle = false;
        }
        while (!c.paced.empty() && c.next_release_us <= now_us) {
            c.next_release_us += c.paced.front().duration_us;
            c.paced_us -= c.paced.front().duration_us;
            in.frames.push_back(std::move(c.paced.front().frame));
            c.paced.pop_front();
        }
        if (c.paced.empty() && c.next_release_us <= now_us) c.paced_idle = true;
        if (!in.frames.empty()) inputs->push_back(std::move(in));
    }
}

void RoomAudio::ApplyConfigLocked() {
    // Listeners: kept across changes (their pts and detectors carry on), dropped when gone.
    for (auto it = listeners_.begin(); it != listeners_.end();) {
        it = config_.count(it->first) ? std::next(it) : listeners_.erase(it);
    }
    for (const auto& entry : config_) {
        std::unique_ptr<Listener>& l = listeners_[entry.first];
        if (!l) l.reset(new Listener(entry.first, entry.second));
        l->detect_voice = entry.second.detect_voice;
        l->muted = entry.second.muted;
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

void RoomAudio::DeliverPerUser(int64_t now_ms, Sender& sender, std::vector<AudioDelivery>* out) {
    std::string payload;
    // A listener whose oldest queued frame waited half the time a frame may wait gets none
    // made now (counted as dropped): under more load than the process delivers, the tick
    // spends nothing on frames that would only expire.
    const int64_t max_wait_ms = faults::MediaMaxWaitMs();
    const int64_t behind_ns = max_wait_ms * 1000000 / 2;
    const int64_t steady_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count();
    for (auto& entry : sender.chunkers) {
        const ChunkKey& key = entry.first;
        Chunker& chunker = entry.second;
        const PcmFormat format{std::get<0>(key), std::get<1>(key)};
        const size_t frame = format.SamplesIn(std::get<2>(key));
        const auto deliver = [&](const int16_t* pcm, const std::string& coded) {
            std::shared_ptr<const AudioFrame> base;
            for (uint64_t serial : chunker.listeners) {
                auto l = listeners_.find(serial);
                if (l == listeners_.end()) continue;
                Listener& listener = *l->second;
                Listener::Stream& stream = listener.streams[sender.serial];
                if (max_wait_ms > 0 && listener.counters && listener.counters->Behind(steady_ns, behind_ns)) {
                    listener.NextPts(stream, now_ms);
                    ++listener.shed;
                    continue;
                }
                if (!base) base = MakeFrame(listener.params, coded);
                AudioDelivery d{serial, sender.serial, sender.user_id, Listening::kPerUser, 0, listener.counters,
                                base};
                d.own_stamp = true;
                listener.Stamp(stream, now_ms, pcm, frame, &d.pts, &d.has_voice);
                out->push_back(std::move(d));
            }
        };
        // Opus listeners asking for what the channel itself sends get its very packets.
        const bool as_sent = chunker.encoder && sender.encoder && sender.only_own_packets && chunker.fifo.empty() &&
                             format == sender.stream && std::get<2>(key) == sender.channel.frame_ms;
        if (as_sent) {
            for (size_t i = 0; i < sender.sent.size(); ++i) deliver(sender.fresh.data() + i * frame, sender.sent[i]);
            continue;
        }
        const std::vector<int16_t>& in = sender.In(format);
        chunker.fifo.insert(chunker.fifo.end(), in.begin(), in.end());
        size_t used = 0;
        for (; used + frame <= chunker.fifo.size(); used += frame) {
            const int16_t* pcm = chunker.fifo.data() + used;
            if (chunker.encoder) {
                if (!chunker.encoder->Encode(pcm, frame, &payload)) continue;
            } else {
                payload = PcmBytes(pcm, frame);
            }
            deliver(pcm, payload);
        }
        chunker.fifo.erase(chunker.fifo.begin(), chunker.fifo.begin() + used);
    }
}

void RoomAudio::Mix(int64_t now_ms, std::vector<AudioDelivery>* out) {
    std::set<PcmFormat> formats;
    for (const auto& l : listeners_) {
        const Listening how = l.second->params.how;
        if (how == Listening::kMixed || how == Listening::kPulled) formats.insert(l.second->params.format);
    }
    std::vector<int32_t> sum;
    std::vector<int16_t> mine;
    std::string payload;
    for (const PcmFormat& format : formats) {
        const size_t block = format.SamplesIn(10);
        const size_t prebuffer = format.SamplesIn(kMixPrebufferMs);
        const size_t backlog = format.SamplesIn(kMixMaxBacklogMs);
        sum.assign(block, 0);
        for (auto& s : senders_) {
            auto m = s.second->mix.find(format);
            if (m == s.second->mix.end()) continue;
            MixInput& in = m->second;
            const std::vector<int16_t>& fresh = s.second->In(format);
            in.fifo.insert(in.fifo.end(), fresh.begin(), fresh.end());
            size_t available = in.fifo.size() - in.head;
            if (available > backlog) {
                in.head += available - backlog;
                available = backlog;
            }
            if (!in.primed && available >= prebuffer) in.primed = true;
            in.block.assign(block, 0);
            if (in.primed) {
                const size_t n = std::min(available, block);
                std::copy(in.fifo.begin() + in.head, in.fifo.begin() + in.head + n, in.block.begin());
                in.head += n;
                // Ran dry: wait for the buffer to fill again rather than play scraps.
                if (n < block) in.primed = false;
            }
            if (in.head > in.fifo.size() / 2) {
                in.fifo.erase(in.fifo.begin(), in.fifo.begin() + in.head);
                in.head = 0;
            }
            for (size_t i = 0; i < block; ++i) sum[i] += in.block[i];
        }
        for (auto& l : listeners_) {
            Listener& listener = *l.second;
            const ListenerParams& p = listener.params;
            if ((p.how != Listening::kMixed && p.how != Listening::kPulled) || p.format != format) continue;
            bool heard = false;
            mine.assign(block, 0);
            std::vector<int32_t> minus(block, 0);
            for (auto& s : senders_) {
                Sender& sender = *s.second;
                const bool excluded = sender.serial == listener.serial || listener.muted.count(sender.user_id) != 0;
                heard = heard || sender.serial != listener.serial;
                if (!excluded) continue;
                auto m = sender.mix.find(format);
                if (m == sender.mix.end()) continue;
                for (size_t i = 0; i < block; ++i) minus[i] += m->second.block[i];
            }
            if (!heard) continue;
            for (size_t i = 0; i < block; ++i) mine[i] = Saturate(sum[i] - minus[i]);
            listener.mix_pending.insert(listener.mix_pending.end(), mine.begin(), mine.end());
            const size_t frame = format.SamplesIn(p.frame_ms);
            if (listener.mix_pending.size() < frame) continue;
            const int16_t* pcm = listener.mix_pending.data();
            bool ok = true;
            if (p.opus) {
                if (!listener.mix_encoder) listener.mix_encoder.reset(new OpusStreamEncoder(format, kMixOpusBitrateBps));
                ok = listener.mix_encoder->Encode(pcm, frame, &payload);
            } else {
                payload = PcmBytes(pcm, frame);
            }
            if (ok) {
                auto f = std::make_shared<AudioFrame>(*MakeFrame(p, payload));
                listener.Stamp(listener.mixed, now_ms, pcm, frame, f.get());
                const size_t limit = static_cast<size_t>(kPullBacklogMs / p.frame_ms);
                out->push_back(AudioDelivery{listener.serial, 0, std::string(), p.how, limit, listener.counters,
                                             std::move(f)});
            }
            listener.mix_pending.erase(listener.mix_pending.begin(), listener.mix_pending.begin() + frame);
        }
    }
}

void RoomAudio::Tick(int64_t now_ms, std::vector<AudioDelivery>* out) {
    std::lock_guard<std::mutex> work(work_mu_);
    std::vector<Inputs> inputs;
    {
        std::lock_guard<std::mutex> lock(inbox_mu_);
        if (applied_version_ != version_) {
            applied_version_ = version_;
            ApplyConfigLocked();
        }
        TakeInputsLocked(now_ms, &inputs);
    }
    if (senders_.empty()) return;
    std::map<uint64_t, const std::vector<std::shared_ptr<const AudioFrame>>*> arrived;
    for (const Inputs& in : inputs) arrived[in.serial] = &in.frames;
    static const std::vector<std::shared_ptr<const AudioFrame>> kNothing;
    std::vector<Sender*> heard;
    for (auto& s : senders_) {
        // Nobody hears it (everyone unsubscribed it, or the only others are members of other
        // processes): its audio is dropped here unconverted, so a room of many senders costs
        // what its listeners hear.
        if (s.second->chunkers.empty() && s.second->mix.empty()) continue;
        heard.push_back(s.second.get());
    }
    // Converting and coding touch only the sender's own state: senders side by side.
    AudioWorkers::Instance().ForEach(heard.size(), [&](size_t i) {
        auto a = arrived.find(heard[i]->serial);
        heard[i]->Take(a == arrived.end() ? kNothing : *a->second);
    });
    for (Sender* sender : heard) {
        if (!sender->fresh.empty()) DeliverPerUser(now_ms, *sender, out);
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
