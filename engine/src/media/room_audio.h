// The audio of one room: what each member sends, turned into what each member asked to
// hear, on the engine clock's ticks.
//
// Senders. A member's local channel fixes its stream: the channel's channel count at its
// rate (at 48000 when Opus does not code that rate). A 16-bit PCM frame of any supported
// format is converted to the stream, cut into frames of the channel's length and, as the
// channel asks for encoding, coded with Opus at the channel's bitrate and decoded again, so
// listeners hear codec-coded audio. An Opus frame travels as it is on any channel and is
// decoded once; a PCM frame on a channel without encoding is refused (that channel expects
// packets). Frames sent with SendAudioFrame go out on the next tick; continuous sends are
// paced: one frame's duration of audio per duration of clock time. A sender nobody hears
// costs nothing: its frames are taken on time and dropped unconverted.
//
// Listeners. Each member hears every other member whose audio it did not unsubscribe, in
// its own format and frame length, per user, mixed, or pulled (mixed into its pull queue).
// Each sender's stream is converted once per output format in use and shared by the
// listeners of that format; frames of one (format, frame length, codec) are cut and coded
// once and shared as well. A listener asking for the stream's own format gets it unchanged;
// one asking for Opus in the channel's own format and frame length gets the channel's own
// packets.
// Mixing adds every sender's 10 ms block per format once (int32); each listener's mix is
// that sum minus its own block and the blocks of senders it unsubscribed, saturated to 16
// bits. A mix is made while at least one other member's channel is open; each sender feeds
// it through a small jitter buffer (kMixPrebufferMs) so that a sender pacing itself on wall
// time does not leave gaps.
//
// pts of delivered frames counts ms on the listener's clock: engine clock time since the
// listener joined, when the stream's first frame went out, then advancing by exactly the
// frame length. So the same run on the manual clock stamps the same pts every time.
//
// A listener that is behind (its oldest queued frame waited half the time a frame may wait,
// DeliveryTally::Behind) gets no per-user frame made on that tick: the frame counts as
// dropped and its pts is used up, as if it had been dropped from the queue. Under more load
// than the process can deliver, ticks then cost what is heard, not what is offered.
//
// Threads: configuration and Submit (session calls) take only the inbox lock and copy;
// Tick (the clock) does all the work under the work lock, taking the inbox lock only to
// swap out what arrived. Each sender's conversion and coding touch only its own state, so a
// tick of many senders shares them with AudioWorkers' helpers and waits for them.
#ifndef VELMORA_ENGINE_MEDIA_ROOM_AUDIO_H
#define VELMORA_ENGINE_MEDIA_ROOM_AUDIO_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "kwix/velmora_kwix_cloud.h"
#include "media/audio_counters.h"
#include "media/opus_codec.h"
#include "media/pcm_converter.h"
#include "media/voice_detector.h"

namespace velmora {
namespace loopback {

// A continuous send past this much queued audio is refused (kSendQueueFullError).
constexpr int64_t kMaxSendQueueMs = 30000;
// The engine's "try again" code: nothing was queued, the queue is as it was.
constexpr int kSendQueueFullError = kwix::ERR_READ_TRY_AGAIN;
// A pull queue keeps about this much audio; older frames are dropped first.
constexpr int kPullBacklogMs = 1000;
constexpr int kMixPrebufferMs = 40;
// A sender's unmixed audio beyond this is dropped, oldest first.
constexpr int kMixMaxBacklogMs = 5000;
// Bitrate of a mix asked for as Opus (per-user Opus keeps the sender's channel bitrate).
constexpr int kMixOpusBitrateBps = 64000;

struct AudioDelivery {
    uint64_t to = 0;
    uint64_t from = 0;  // the sender, 0 for a mix
    std::string from_user;
    Listening how = Listening::kPerUser;
    size_t pull_limit = 0;  // frames a pull queue keeps
    std::shared_ptr<AudioCounters> counters;
    std::shared_ptr<const kwix::AudioFrame> frame;
    // Per-user frames: `frame` is shared by every listener of its format, and its pts and
    // has_voice are this listener's own, here (a large room's tick would otherwise make a
    // frame per sender and listener).
    bool own_stamp = false;
    uint32_t pts = 0;
    bool has_voice = false;
};

class RoomAudio {
public:
    RoomAudio();
    ~RoomAudio();
    RoomAudio(const RoomAudio&) = delete;
    RoomAudio& operator=(const RoomAudio&) = delete;

    // Configuration, as the room's membership changes.
    // `now_ms`: the engine clock at the join, the origin of the member's pts.
    void Join(uint64_t serial, const std::string& user_id, const ListenerParams& listening, bool detect_voice,
              std::shared_ptr<AudioCounters> counters, int64_t now_ms);
    void Leave(uint64_t serial);
    void OpenChannel(uint64_t serial, const ChannelParams& params);
    void CloseChannel(uint64_t serial);
    void SetMuted(uint64_t serial, const std::string& sender, bool muted);
    void SetVoiceDetection(uint64_t serial, bool on);

    // A send: checks the frame and queues a copy of it. 0 or an Error code. Continuous frames
    // dropped by clear_queue count as the sender's dropped frames.
    int Submit(uint64_t serial, const kwix::AudioFrame& frame, bool continuous, bool clear_queue);

    // One clock tick: everything due goes out into *out.
    void Tick(int64_t now_ms, std::vector<AudioDelivery>* out);

private:
    struct Queued {
        std::shared_ptr<const kwix::AudioFrame> frame;
        int64_t duration_us = 0;
    };
    struct MemberConfig {
        std::string user_id;
        ListenerParams listening;
        bool detect_voice = false;
        std::set<std::string> muted;
        std::shared_ptr<AudioCounters> counters;
        int64_t joined_ms = 0;
        bool open = false;
        ChannelParams channel;
        uint64_t channel_generation = 0;  // a reopened channel is a new stream
        std::deque<Queued> now;
        std::deque<Queued> paced;
        int64_t paced_us = 0;        // audio in `paced`
        int64_t next_release_us = 0;
        bool paced_idle = true;
    };
    struct Inputs {
        uint64_t serial;
        std::vector<std::shared_ptr<const kwix::AudioFrame>> frames;
    };

    class Sender;
    class Listener;
    struct Chunker;
    struct MixInput;
    using ChunkKey = std::tuple<int, int, int, bool>;  // rate, channels, frame_ms, opus

    void ApplyConfigLocked();
    void TakeInputsLocked(int64_t now_ms, std::vector<Inputs>* inputs);
    void DeliverPerUser(int64_t now_ms, Sender& sender, std::vector<AudioDelivery>* out);
    void Mix(int64_t now_ms, std::vector<AudioDelivery>* out);
    std::shared_ptr<const kwix::AudioFrame> MakeFrame(const ListenerParams& p, const std::string& payload) const;

    std::mutex inbox_mu_;  // guards config_ and version_
    std::map<uint64_t, MemberConfig> config_;
    uint64_t version_ = 1;
    uint64_t next_generation_ = 1;

    std::mutex work_mu_;  // guards everything below; held through a tick
    uint64_t applied_version_ = 0;
    std::map<uint64_t, std::unique_ptr<Sender>> senders_;
    std::map<uint64_t, std::unique_ptr<Listener>> listeners_;
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_ROOM_AUDIO_H
