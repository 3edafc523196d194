// The audio of one room: what each member sends, turned into what each member asked to
// hear, on the engine clock's ticks.
//
// Senders. A member's local channel fixes its stream: the channel's channel count at its
// rate (at 48000 when Opus does not code that rate). A 16-bit PCM frame of any supported
// format is converted to the stream, cut into frames of the channel's length and, as the
// channel asks for encoding, coded with Opus (libopus's defaults at the channel's bitrate) and
// decoded again, so listeners hear codec-coded audio. An Opus frame travels as it is on any
// channel and is decoded once; a PCM frame on a channel without encoding is refused (that
// channel expects packets).
//
// Sends. A PCM frame longer than the channel's frame length is queued as pieces of that length
// (one copy of the frame, shared by its pieces). SendAudioFrame's frames go out on the next
// tick, but a frame of several pieces goes out at most kMaxSendPerTickMs of them per tick
// (what was sent after it waits behind it), so that no frame, however long, holds up the
// clock; continuous sends are paced: one piece's duration of audio per duration of clock
// time, so a long frame plays in real time like many short ones. Each queue holds at
// most kMaxSendQueueMs of audio: a send beyond it is refused with kSendQueueFullError (try
// again later), a frame longer than that on its own with ERR_INVALID_PARAMETER (it can never
// fit). A sender nobody hears costs nothing: its frames are taken on time and dropped
// unconverted.
//
// Listeners. Each member hears every other member whose audio it did not unsubscribe, in
// its own format and frame length, per user, mixed, or pulled (mixed into its pull queue).
// Each sender's stream is converted once per output format in use and shared by the
// listeners of that format; frames of one (format, frame length, codec) are cut and coded
// once and shared as well. A listener asking for the stream's own format gets it unchanged;
// one asking for Opus with the channel count and frame length of the sender's packets gets
// those very packets, at any rate (an Opus packet decodes at any rate), so that it hears one
// coding, not two.
//
// Latency. Conversions keep their filter's delay as leading silence, so frames are cut as soon
// as a sender's audio arrives: from a send to its delivery every path takes at most one tick,
// the codec's and resamplers' delays and one frame.
//
// Mixing. Each output format in use has one mix, made of every sender's audio in that format
// (int32 sums); each listener's mix is that sum minus its own audio and that of senders it
// unsubscribed, saturated to 16 bits. A mix is made while at least one other member's channel
// is open, in step across senders: a sender's talk spurt is placed where its first frame
// began, its resamplers' delay made up to the largest among the mix's senders, so two
// senders who send at the same moment are heard at the same moment whatever their rates. The
// mix goes as far as every talking sender's audio reaches and never past the clock; while
// nobody talks it runs kMixIdleLagMs behind the clock, which leaves room for a new talk
// spurt's first frame (up to 60 ms) to start where it began, and is the most it waits for a
// late sender.
//
// pts of delivered frames counts ms on the listener's clock: engine clock time since the
// listener joined, when a stream's first frame goes out, then advancing by exactly the frame
// length while the stream flows. When a stream comes back after a pause (pts more than
// kPtsResyncMs and a frame behind the clock), pts starts again from the clock. A mix frame
// stands for its place on the mix's time line plus kMixIdleLagMs: while nobody talks, the
// clock at its delivery; during a talk spurt up to that much ahead of it. pts never goes
// below zero. So the same run on the manual clock stamps the same pts every time.
//
// A listener that is behind (its oldest queued frame waited half the time a frame may wait,
// DeliveryTally::Behind) gets no per-user frame made on that tick: the frame counts as
// dropped and its pts is used up, as if it had been dropped from the queue. A sender whose
// every listener here is such a listener is not even decoded or coded on that tick (unless
// its audio goes to other processes): its audio is shed as stale audio is, below. Under more
// load than the process can deliver, ticks then cost what is heard, not what is offered.
//
// A clock that falls behind. On the real clock a SendAudioFrame frame that waited longer than
// half the time a delivered frame may wait is dropped when its tick comes, before it is
// converted or coded, and counts as shed for each per-user listener (pts used up, as for a
// listener that is behind). A process short of processor time for its ticks would otherwise
// code an ever longer backlog on each late tick, and deliver what it makes seconds late. Long
// frames going out in pieces are not dropped; nor is anything on the manual clock. Likewise a
// tick that has run so long that a sender's audio is that old by the time its turn comes makes
// no per-user frame of it (shed, as above): a delivered frame's wait counts from its send, so
// what it made would expire queued. Each tick starts its turns with the next sender, so the
// senders a long tick sheds are not always the same. And when ticks have lately taken more
// than kClockShare of the clock's time (coding many senders leaves the delivery of their
// frames too little of the processors) while frames were lost for want of time (any of the
// above) over kLosingWindows windows in a row, a tick codes only the share of its senders
// that brings them back to it; the rest's audio is shed uncoded, round the senders in turn.
// Relayed senders are never shed: their audio is for other processes. After such windows of
// receivers behind (not merely stale sends) the tick's coding also leaves a core to the
// delivery (CodecWorkers::Run's `leave_a_core`): on two cores the clock codes alone rather
// than take the core the callbacks run on.
//
// A delivery short of time. Under more load than the delivery threads can carry, a receiver
// that is not behind takes a frame of every coded sender on each tick, and is behind again
// long before it has heard them: most of what was coded goes unheard. So when, in
// kLosingWindows windows in a row, the process was short of time (the delivery threads busy
// throughout, waiting for work less than kDeliveryIdleShare of the window, or the clock short
// as above) and the receivers here took less than kTakenLow of the per-user frames due for
// them, the ticks code at most coding_cap_ senders (a quarter fewer at most per window,
// towards what brings the share taken into the band); the rest's audio is shed uncoded,
// round the senders in turn, so every receiver still hears a share of everyone. The cap grows
// again when the receivers take more than kTakenHigh, or the process has time to spare, and
// goes once it holds back nobody. Receivers that took nothing in a window (a callback that
// blocks) are left out of the count, and such receivers leave the delivery time to spare:
// what they cannot take costs the others nothing.
//
// Relayed senders. A frame sent with `relay` (a member the room bus carries to other
// processes) is coded here, on its tick, as for a listener, and the Opus frames made of it
// come out of Tick as AudioRelay, for the bus to publish in the frame's stead: each sender is
// coded once, in its own process, whoever hears it where, and a relayed sender nobody here
// hears is coded but not decoded. What the channel paced or dropped as stale is paced or
// dropped before it leaves; a relayed frame dropped as stale counts as the sender's dropped
// frame.
//
// Threads: configuration and Submit (session calls) take only the inbox lock and copy;
// Tick (the clock) does all the work under the work lock, taking the inbox lock only to
// swap out what arrived. Each sender's conversion and coding touch only its own state, so a
// tick of many senders shares them with the codec workers (media/codec_workers.h) and waits.
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
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

// A send past this much queued audio is refused (kSendQueueFullError); a longer frame can
// never be queued and is refused with ERR_INVALID_PARAMETER.
constexpr int64_t kMaxSendQueueMs = 30000;
// The engine's "try again" code: nothing was queued, the queue is as it was.
constexpr int kSendQueueFullError = kwix::ERR_READ_TRY_AGAIN;
// Pieces of a long SendAudioFrame frame that go out per tick (20 times real time).
constexpr int64_t kMaxSendPerTickMs = 200;
// A pull queue keeps about this much audio; older frames are dropped first.
constexpr int kPullBacklogMs = 1000;
// How far behind the clock a mix runs while nobody talks: a new talk spurt's first frame fits
// in before it, moved back to a listener's frame boundary (each up to 60 ms, less a tick).
constexpr int kMixIdleLagMs = 110;
// A delivered stream this far behind the clock has paused; its pts follows the clock again.
constexpr int64_t kPtsResyncMs = 100;
// A sender's unmixed audio beyond this is dropped, oldest first.
constexpr int kMixMaxBacklogMs = 5000;
// On the real clock, ticks that lately took more than this share of the clock's time code
// only about the share of their senders that brings them back to it (RoomAudio::ShedSenders),
// measured over windows of kClockWindowNs.
constexpr double kClockShare = 0.5;
constexpr int64_t kClockWindowNs = 200000000;
constexpr int kLosingWindows = 2;
// While the process is short of time (it delivers less than it is offered), ticks code at
// most RoomAudio::coding_cap_ senders, kept where the receivers here take between kTakenLow
// and kTakenHigh of the frames due for them: enough that the delivery never runs dry, not so
// many that most are coded for nothing.
constexpr double kTakenLow = 0.6;
constexpr double kTakenHigh = 0.85;
// The delivery threads were busy throughout a window when they waited for work less than
// this share of it.
constexpr double kDeliveryIdleShare = 0.05;
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
    // Per-user frames: when the tick's earliest audio of the sender was sent (steady clock
    // ns), from which the frame's wait for its listener counts.
    int64_t sent_ns = 0;
};

// A relayed sender's audio as its channel coded it: an Opus frame of the channel's stream
// (its rate and channel count), one frame length long.
struct AudioRelay {
    uint64_t from = 0;
    std::shared_ptr<const kwix::AudioFrame> frame;
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
              std::shared_ptr<AudioCounters> counters, int64_t now_ms) EXCLUDES(inbox_mu_);
    void Leave(uint64_t serial) EXCLUDES(inbox_mu_);
    void OpenChannel(uint64_t serial, const ChannelParams& params) EXCLUDES(inbox_mu_);
    void CloseChannel(uint64_t serial) EXCLUDES(inbox_mu_);
    void SetMuted(uint64_t serial, const std::string& sender, bool muted) EXCLUDES(inbox_mu_);
    void SetVoiceDetection(uint64_t serial, bool on) EXCLUDES(inbox_mu_);

    // A send: checks the frame and queues a copy of it. 0 or an Error code. Continuous frames
    // dropped by clear_queue count as the sender's dropped frames. `relay`: what it is coded
    // into comes out of Tick as AudioRelay too.
    int Submit(uint64_t serial, const kwix::AudioFrame& frame, bool continuous, bool clear_queue, bool relay = false)
        EXCLUDES(inbox_mu_);

    // One clock tick: everything due goes out into *out. On the real clock (`real_clock`),
    // SendAudioFrame frames that waited longer than half the time a delivered frame may wait
    // (faults::MediaMaxWaitMs) are dropped untouched: see "A clock that falls behind" above.
    // The relayed senders' coded frames go into *relayed (dropped when it is null).
    void Tick(int64_t now_ms, std::vector<AudioDelivery>* out, bool real_clock = false,
              std::vector<AudioRelay>* relayed = nullptr) EXCLUDES(work_mu_, inbox_mu_);

private:
    // A frame or a piece of one: `bytes` of its data from `offset` (all of an Opus frame).
    struct Queued {
        std::shared_ptr<const kwix::AudioFrame> frame;
        size_t offset = 0;
        size_t bytes = 0;
        int64_t duration_us = 0;
        bool last = true;  // the frame's last piece
        int64_t queued_ns = 0;  // when it was queued (steady clock)
        bool relay = false;
    };
    struct MemberConfig {
        std::string user_id;
        ListenerParams listening;
        bool detect_voice = false;
        std::set<std::string> muted;
        // Changes with `muted`, never to a number it had before, nor another member's: a member
        // who leaves and joins again between ticks is told apart.
        uint64_t muted_version = 0;
        std::shared_ptr<AudioCounters> counters;
        int64_t joined_ms = 0;
        uint64_t join = 0;  // which join of the member (a number no join or channel had before)
        bool open = false;
        ChannelParams channel;
        uint64_t channel_generation = 0;  // a reopened channel is a new stream
        std::deque<Queued> now;
        int64_t now_us = 0;  // audio in `now`
        std::deque<Queued> paced;
        int64_t paced_us = 0;        // audio in `paced`
        int64_t next_release_us = 0;
        bool paced_idle = true;
    };
    struct Inputs {
        uint64_t serial;
        std::vector<Queued> pieces;
        int64_t stale_us = 0;  // audio dropped for having waited too long
    };

    class Sender;
    class Listener;
    struct Chunker;
    struct MixInput;
    struct MixState;
    using ChunkKey = std::tuple<int, int, int, bool>;  // rate, channels, frame_ms, opus

    void ApplyConfigLocked() REQUIRES(work_mu_, inbox_mu_);
    // Pieces released now (paced, or of a frame going out in pieces) count as sent at `tick_ns`.
    void TakeInputsLocked(int64_t now_ms, int64_t tick_ns, int64_t stale_before_ns, std::vector<Inputs>* inputs)
        REQUIRES(inbox_mu_);
    // Audio of `sender` dropped before it was converted: each per-user listener's frames of
    // it count as dropped (shed) and their pts are used up.
    void ShedInput(int64_t now_ms, Sender& sender, int64_t stale_us) REQUIRES(work_mu_);
    void DeliverPerUser(int64_t now_ms, Sender& sender, std::vector<AudioDelivery>* out, bool real_clock)
        REQUIRES(work_mu_);
    void NoteTickTime(int64_t began_ns, int64_t ended_ns) REQUIRES(work_mu_);
    // At the end of a window: tightens, loosens or lifts coding_cap_ after the share of the
    // frames due that the receivers took in it.
    void AdjustCodingCap(int64_t window_ns) REQUIRES(work_mu_);
    // Whether the ticks lately took more than kClockShare of the clock's time while frames
    // were lost for want of time: the clock is short of time for what it codes.
    bool ClockShort() const REQUIRES(work_mu_) { return losing_.Held() && clock_share_ > kClockShare; }
    // How many of this tick's `offered` senders the clock has time to code, and the
    // receivers here take: what the clock's share and coding_cap_ leave.
    size_t SendersToCode(size_t offered) const REQUIRES(work_mu_);
    // Keeps in *busy (with their *pieces) `keep` of this tick's senders; the others' audio is
    // shed uncoded, as ShedInput does. Which ones goes round with the ticks; senders relayed
    // to other processes are always kept.
    void ShedSenders(int64_t now_ms, size_t keep, std::vector<Sender*>* busy,
                     std::vector<const std::vector<Queued>*>* pieces) REQUIRES(work_mu_);
    // Sheds `pieces` of `sender` before they are converted or coded (ShedInput).
    void ShedUncoded(int64_t now_ms, Sender& sender, const std::vector<Queued>& pieces) REQUIRES(work_mu_);
    // True when every listener here of `sender` is per-user and behind: coding its audio now
    // would make no frame.
    bool NobodyTakesNow(const Sender& sender, int64_t steady_ns, int64_t behind_ns) const REQUIRES(work_mu_);
    void Mix(int64_t now_ms, std::vector<AudioDelivery>* out) REQUIRES(work_mu_);
    void MixFormat(int64_t now_ms, const PcmFormat& format, MixState& mix, std::vector<AudioDelivery>* out)
        REQUIRES(work_mu_);
    std::shared_ptr<const kwix::AudioFrame> MakeFrame(const ListenerParams& p, const std::string& payload) const;

    // Lock order: work_mu_ before inbox_mu_ (a tick takes what the inbox holds).
    Mutex inbox_mu_;
    std::map<uint64_t, MemberConfig> config_ GUARDED_BY(inbox_mu_);
    uint64_t version_ GUARDED_BY(inbox_mu_) = 1;
    uint64_t next_generation_ GUARDED_BY(inbox_mu_) = 1;
    uint64_t muted_versions_ GUARDED_BY(inbox_mu_) = 0;  // the last MemberConfig::muted_version given

    Mutex work_mu_;  // held through a tick
    uint64_t applied_version_ GUARDED_BY(work_mu_) = 0;
    std::map<uint64_t, std::unique_ptr<Sender>> senders_ GUARDED_BY(work_mu_);
    std::map<uint64_t, std::unique_ptr<Listener>> listeners_ GUARDED_BY(work_mu_);
    std::map<PcmFormat, std::unique_ptr<MixState>> mixes_ GUARDED_BY(work_mu_);  // one per mixed format in use
    uint64_t rotation_ GUARDED_BY(work_mu_) = 0;  // where the next tick starts its fan-out
    // The share of the clock's time ticks took lately (a running mean over windows), and the
    // current window's time in ticks and start.
    double clock_share_ GUARDED_BY(work_mu_) = 0.0;
    int64_t busy_ns_ GUARDED_BY(work_mu_) = 0;
    int64_t window_ns_ GUARDED_BY(work_mu_) = 0;
    // A condition seen in some windows: whether in the current one, and in how many in a
    // row up to it. Each response to a shortage waits for kLosingWindows of them: ticks can
    // take over half the clock's time and still make every frame in time (a large room's
    // first ticks do), and a moment's stall of a shared machine loses a few frames; shedding
    // then would only lose more.
    struct Streak {
        bool now = false;
        int windows = 0;
        void Close() {
            windows = now ? windows + 1 : 0;
            now = false;
        }
        bool Held() const { return windows >= kLosingWindows; }
    };
    // Frames lost for want of time (a stale send, a receiver behind, a tick too late): with
    // the clock's share over kClockShare, senders are shed for it (ClockShort).
    Streak losing_ GUARDED_BY(work_mu_);
    // Frames lost because receivers here were behind (the delivery short of time, rather
    // than the clock): only then does coding leave the delivery a core.
    Streak behind_ GUARDED_BY(work_mu_);
    // Windows that called for a lower coding_cap_ (AdjustCodingCap).
    Streak wasting_ GUARDED_BY(work_mu_);
    // The most senders a tick codes, 0 for no limit (AdjustCodingCap), and the most senders
    // with audio in a tick of the current window.
    size_t coding_cap_ GUARDED_BY(work_mu_) = 0;
    size_t offered_most_ GUARDED_BY(work_mu_) = 0;
    int64_t delivery_idle_ns_ GUARDED_BY(work_mu_) = 0;  // DeliveryPool::IdleNs at the last window's end
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_MEDIA_ROOM_AUDIO_H
