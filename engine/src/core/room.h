// Rooms: the process-wide registry of rooms, each room's membership, and the fan-out of
// what its members do to the others.
//
// Who owns what:
// - RoomRegistry owns the rooms, by key: "<sdk_app_id>/s:<str_room_id>" or
//   "<sdk_app_id>/n:<room_id>". Entering goes through it (RoomRegistry::Enter).
// - A Room owns its member records: channels, subscriptions, custom command sequence
//   numbers, all under the room's one lock, so that each operation decides all of its
//   deliveries atomically. Every room operation (core/operation.h) reaches the room through
//   Apply, which runs all of its checks, whether a local session or the room bus (for a
//   member of another process) made it.
// - The room's Transit (network/transit.h) owns what the simulated network does on the way:
//   every delivery to another member is judged there, and delayed or held ones wait there.
//   Its link changes (a dropped connection, a member silent for the time-out) come back to
//   the room, which turns them into callbacks.
// - The room's RoomAudio (media/room_audio.h) owns the audio: conversion, mixing and pacing
//   on the engine clock's ticks; the frames it makes travel like every other delivery.
// - Deliveries go into the room's outbox under its lock and are handed to the receivers'
//   dispatchers after it is released (each receiver's share of what waits in one post: a tick
//   of a large room gives every member dozens of frames), by one thread at a time, so every
//   receiver sees the room's operations in the order they happened and no room lock is ever
//   held while a dispatcher's lock is taken. A caller that finds another thread draining
//   waits until its own deliveries are handed over, so that when an operation returns, what it
//   caused is in the receivers' queues.
//
// Behaviour worth knowing:
// - A user id can be in a room once: a second session entering with the same user id is
//   refused (KWIXCloud::EnterRoom returns ERR_ENTER_ROOM_FAILED and reports nothing).
// - Audio reaches every other member unless the receiver unsubscribed the sender's
//   STREAM_TYPE_AUDIO; none reaches a member after it left or after the sender's channel
//   closed.
// - Video reaches only members subscribed to (sender, stream type), in the kind each asked
//   for (use_pixel_frame_output), whatever the sender sends (media/room_video.h does the
//   coding, core/room_video.cpp the routing):
//     sender \ receiver   encoded (VideoFrame)              pixels (PixelFrame)
//     encoded            the sender's frames as sent          decoded (H.264, H.265) to I420
//     pixels             the engine's H.264 of the frames     that H.264 decoded again to I420
//   pts and rotation (and dts) carry over from the sent frame. A frame sent before its
//   sender closed the stream or left still arrives when its coding is done, as one in flight
//   would (after the receivers heard of the closing). Subscribing asks the sender
//   for a key frame when the stream is open, otherwise when the sender opens it: a member that
//   entered with use_pixel_frame_input by its engine's encoder, any other with
//   OnRequestKeyFrame. A stream nobody (here) takes costs nothing: it is neither encoded nor
//   decoded.
// - Under a bandwidth cap (network/network.h) video queues on the sender's uplink (once per
//   frame) and on each receiver's downlink, and what a link still carries delays everything
//   else of that pair behind it, as on a real link. A sender whose video exceeds its uplink's
//   cap over kRateWindowMs is asked to fit kVideoShareOfCap of it (each stream its share of
//   what the sender sends): an encoded stream's sender by OnRequestChangeVideoEncodeBitrate,
//   a pixel stream by its encoder's own rate; at most once per kBitrateRequestIntervalMs
//   unless the cap changes. When the cap goes (or grows to fit the earlier rate), the rate is
//   asked back: the stream's VideoEncodeParams bitrate, else what it sent before.
// - Subscriptions are remembered for users not (yet) in the room and forgotten when the
//   subscriber leaves.
// - SEI messages go with the sender's STREAM_TYPE_VIDEO_HIGH stream to its subscribers.
// - Custom commands reach every other member; sequence numbers count from 1 for each
//   (sender, receiver) pair. A lost unreliable command still uses up its number; the next
//   command that arrives is preceded by OnMissCustomCmdMsg(sender, cmd_id of the arriving
//   command, kCustomCmdLostInTransit, number lost). A receiver whose queue is at its byte
//   bound loses commands too (delivery/dispatcher.h): unreliable ones silently (counted),
//   reliable ones with OnMissCustomCmdMsg(sender, cmd_id, kCustomCmdLostInQueue, number lost)
//   in their place.
// - A leaving member's channels turn unavailable for the others before
//   OnRemoteUserExitRoom(info, kExitReasonLeft).
// - A dropped connection: on the first tick of the drop the member hears
//   OnConnectionStateChanged(CONNECTED, DISCONNECTED), OnError(kConnectionLostError) and
//   OnConnectionStateChanged(DISCONNECTED, CONNECTING); on the first tick after it
//   OnConnectionStateChanged(CONNECTING, CONNECTED). Meanwhile its sends are accepted and
//   lost (a lost command still uses up its sequence number).
// - A member silent (dropped or unresponsive) for the network's time-out is gone for the
//   others: its channels turn unavailable and they hear OnRemoteUserExitRoom(info,
//   kExitReasonTimeout). Until it is heard again its sends are dropped without using up
//   sequence numbers; then the others hear OnRemoteUserEnterRoom and its open channels
//   become available, and its commands' sequence numbers start afresh. A member that leaves
//   while gone for the others leaves without telling them again.
#ifndef VELMORA_ENGINE_CORE_ROOM_H
#define VELMORA_ENGINE_CORE_ROOM_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/operation.h"
#include "delivery/dispatcher.h"
#include "kwix/velmora_kwix_cloud.h"
#include "media/audio_counters.h"
#include "media/room_audio.h"
#include "media/room_video.h"
#include "network/transit.h"
#include "sync/fork.h"
#include "sync/mutex.h"

namespace velmora {
namespace loopback {

// error_code of OnMissCustomCmdMsg for commands lost in transit.
constexpr uint32_t kCustomCmdLostInTransit = 1;
// reason of OnRemoteUserExitRoom: the user left (ExitRoom or the end of its session).
constexpr int kExitReasonLeft = 0;
// reason of OnRemoteUserExitRoom: nothing was heard from the user for the network's time-out
// (a member that stopped answering, or whose process stopped answering on a room bus).
constexpr int kExitReasonTimeout = 1;
// OnError of a member whose connection dropped.
constexpr kwix::Error kConnectionLostError = kwix::ERR_NETWORK_UNREACHABLE;
// A sender's video rate is measured over this much engine clock, for its uplink's cap.
constexpr int64_t kRateWindowMs = 1000;
// The share of its uplink's cap a sender's video is asked to fit in: the rest is headroom
// for its audio and for the rate's swings.
constexpr int kVideoShareOfCapPercent = 85;
constexpr int64_t kBitrateRequestIntervalMs = 1000;

// What a room needs to know of a session that enters it.
struct Entrant {
    uint64_t serial = 0;  // unique per session for the life of the process
    std::string user_id;
    kwix::KWIXRole role = kwix::KWIX_ROLE_ANCHOR;
    bool pixel_input = false;
    bool pixel_output = false;
    ListenerParams listening;
    bool detect_voice = false;
    std::shared_ptr<AudioCounters> audio_counters;
    std::shared_ptr<VideoCounters> video_counters = std::make_shared<VideoCounters>();
    std::shared_ptr<Dispatcher> dispatcher;
};

// A member's view of a network quality report: its own user and the others in join order.
struct RoomSnapshot {
    std::string self;
    std::vector<std::string> others;
};

class Room : public std::enable_shared_from_this<Room> {
public:
    enum class JoinResult { kJoined, kDuplicateUser, kClosed };

    explicit Room(std::string key);
    Room(const Room&) = delete;
    Room& operator=(const Room&) = delete;

    const std::string& key() const { return key_; }

    // The one entry of a member's room operations (not Enter: RoomRegistry::Enter). Runs
    // Check (core/operation.h), then the room's own checks: ERR_INVALID_OPERATION for a
    // sender that is not a member, opening an open channel or closing a closed one, an
    // audience member opening a channel, sending on a channel that is not open (the audio
    // path checks the frame, media/room_audio.h). 0 or an Error code; a Command accepted is
    // 0 also when it is then lost on the way. Exit: OnExitRoom to the leaver, the others
    // hear it leave.
    int Apply(uint64_t serial, const Operation& operation) EXCLUDES(mu_);

    // Through RoomRegistry::Enter, after the entrant's checks.
    JoinResult Join(const Entrant& entrant) EXCLUDES(mu_);
    // Leaving other than by Exit: a destroyed session (tell_leaver false: it hears nothing), a
    // member of another process that is gone. `reason` goes to the others'
    // OnRemoteUserExitRoom. True when the session was a member.
    bool Leave(uint64_t serial, bool tell_leaver, int reason = kExitReasonLeft) EXCLUDES(mu_);

    // The session's own setting, not an operation of the room: others never see it.
    void SetVoiceDetection(uint64_t serial, bool on) EXCLUDES(mu_);
    // One tick of the engine clock: the network's link changes and held deliveries, then the
    // audio due now.
    void MediaTick(int64_t now_ms) EXCLUDES(mu_);

    bool Snapshot(uint64_t serial, RoomSnapshot* out) const EXCLUDES(mu_);

private:
    struct Delivery {
        std::shared_ptr<Dispatcher> to;
        Dispatcher::Parcel parcel;
        std::shared_ptr<const kwix::AudioFrame> pulled;  // set: goes to the pull queue
        size_t pull_limit = 0;
        std::shared_ptr<AudioCounters> counters;  // of the receiver of a pulled frame
    };
    // Each receiver's parcels of one drain (the first `used` entries), by dispatcher.
    struct Shares {
        std::unordered_map<Dispatcher*, size_t> index;
        std::vector<std::pair<Dispatcher*, std::vector<Dispatcher::Parcel>>> parcels;
        size_t used = 0;
    };
    struct CmdTrack {
        uint32_t last_seq = 0;
        uint32_t missed = 0;
    };
    // A member's sending video stream.
    struct VideoSend {
        bool pixels = false;  // it carried pixel frames last (the engine encodes them)
        bool key = false;     // a receiver started taking it: the engine's next frame is a key frame
        std::deque<std::pair<int64_t, size_t>> sent;  // (sent_ms, bytes) within kRateWindowMs
        size_t window_bytes = 0;
        int64_t first_ms = -1;    // its first frame: a rate needs a whole window
        int64_t wanted_bps = 0;   // what it sends without a cap (pixel streams: the encoder's rate)
        int64_t capped_bps = 0;   // the rate asked for under the cap; 0: none
        int64_t restore_bps = 0;  // the rate to ask back when the cap goes
        int64_t asked_ms = 0;
        int64_t Bps(int64_t now_ms);
    };
    struct Member {
        Entrant who;
        std::shared_ptr<const std::string> shared_id;  // who.user_id, for the frames it sends
        bool audio_open = false;
        std::set<int> video_open;
        std::map<int, kwix::VideoEncodeParams> video_params;  // by stream type, as SetVideoEncodeParam set them
        std::map<int, VideoSend> video_send;                  // open streams that sent
        std::set<std::string> audio_muted;               // senders this member unsubscribed
        std::set<std::pair<std::string, int>> video_subs;  // (sender, stream type)
        std::map<uint64_t, CmdTrack> cmd_from;            // by sender serial
    };
    class LinkEvents;

    int SetAudioChannel(uint64_t serial, bool open, const ChannelParams& params) EXCLUDES(mu_);
    int OpenVideo(uint64_t serial, kwix::StreamType type) EXCLUDES(mu_);
    int CloseVideo(uint64_t serial, kwix::StreamType type) EXCLUDES(mu_);
    int Subscribe(uint64_t serial, const std::string& user_id, kwix::StreamType type, bool on) EXCLUDES(mu_);
    // Video (core/room_video.cpp).
    int SendVideo(uint64_t serial, kwix::StreamType type, std::shared_ptr<const kwix::VideoFrame> frame) EXCLUDES(mu_);
    int SendPixels(uint64_t serial, kwix::StreamType type, std::shared_ptr<const kwix::PixelFrame> frame) EXCLUDES(mu_);
    int SetVideoParams(uint64_t serial, kwix::StreamType type, const kwix::VideoEncodeParams& params) EXCLUDES(mu_);
    // A stream's frame from the video workers.
    void DeliverVideo(const VideoOutput& out) EXCLUDES(mu_);
    VideoSink SinkLocked() REQUIRES(mu_);
    // The sender's uplink, once per frame: measured for the cap, queued when capped.
    network::Shaped UplinkLocked(Member& from, kwix::StreamType type, size_t bytes, int64_t sent_ms) REQUIRES(mu_);
    void FitToCapLocked(Member& from, kwix::StreamType type, int64_t now_ms) REQUIRES(mu_);
    // A frame to the receivers of its kind: encoded ones get `encoded` (when set), pixel ones
    // `pixels`, or count it undecodable (when for_pixels). `wire_bytes` crosses each downlink.
    void ToReceiversLocked(uint64_t from, const std::string& from_user, kwix::StreamType type, int64_t sent_ms,
                           int64_t uplink_delay_ms, size_t wire_bytes,
                           const std::shared_ptr<const kwix::VideoFrame>& encoded,
                           const std::shared_ptr<const kwix::PixelFrame>& pixels, bool for_pixels) REQUIRES(mu_);
    void AskKeyFrameLocked(Member& sender, kwix::StreamType type) REQUIRES(mu_);
    void ForgetVideoLocked(Member& sender, kwix::StreamType type) REQUIRES(mu_);
    int SendSei(uint64_t serial, int message_type, const std::string& message) EXCLUDES(mu_);
    bool SendCustomCmd(uint64_t serial, uint32_t cmd_id, const std::string& message, bool reliable, bool ordered) EXCLUDES(mu_);

    Member* FindLocked(uint64_t serial) REQUIRES(mu_);
    const Member* FindLocked(uint64_t serial) const REQUIRES(mu_);
    // `bytes`: the payload the callback holds (a frame, a message), for the receiver's bound.
    static Delivery MakeDelivery(const Member& to, const char* name, bool media, Dispatcher::Call call,
                                 size_t bytes = 0);
    // A member's own event: it does not travel.
    void QueueLocked(const Member& to, const char* name, bool media, Dispatcher::Call call) REQUIRES(mu_);
    // An event or message from `from` to `to` through the network; false when it was lost.
    bool RouteLocked(const Member& from, const Member& to, const char* name, network::Cargo cargo, int64_t now_ms,
                     Dispatcher::Call call) REQUIRES(mu_);
    // Hands what was taken from the outbox to the receivers: each receiver's in one post.
    static void HandOver(std::vector<Delivery>& taken, Shares& shares);
    void AnnounceExitLocked(const Member& gone, int reason, int64_t now_ms) REQUIRES(mu_);
    void AnnounceReturnLocked(const Member& back, int64_t now_ms) REQUIRES(mu_);
    void SetSilencedLocked(const Member& m, bool silenced) REQUIRES(mu_);
    // The transit's Busy flag is an atomic it keeps for the clock to read without the
    // room's lock: not checked, since transit_ is otherwise only touched under mu_.
    bool TransitBusy() const NO_THREAD_SAFETY_ANALYSIS { return transit_.Busy(); }
    void Drain() EXCLUDES(mu_);

    const std::string key_;
    mutable Mutex mu_;  // guards everything below but audio_
    std::vector<Member> members_ GUARDED_BY(mu_);
    bool closed_ GUARDED_BY(mu_) = false;  // emptied: never joinable again, the registry drops it
    std::vector<Delivery> outbox_ GUARDED_BY(mu_);
    bool draining_ GUARDED_BY(mu_) = false;
    uint64_t taken_ GUARDED_BY(mu_) = 0;   // deliveries the drainers took from the outbox
    uint64_t handed_ GUARDED_BY(mu_) = 0;  // of those, handed to their receivers
    CondVar handed_over_;
    // The drainer's own: what it took from the outbox, and each receiver's share of it. Kept
    // from one drain to the next, so that a busy room's ticks allocate nothing here.
    std::vector<Delivery> taken_deliveries_;
    Shares shares_;
    // The clock's own (ticks run one at a time): the audio due on a tick, and what it coded
    // of the carried senders for the other processes.
    std::vector<AudioDelivery> due_;
    std::vector<AudioRelay> relayed_;
    network::Transit<Delivery> transit_ GUARDED_BY(mu_){&outbox_};

    RoomAudio audio_;  // its own locks; the room calls it under mu_, never the other way
    // Its work runs on the video workers, which come back through DeliverVideo.
    RoomVideo video_ GUARDED_BY(mu_);
};

class RoomRegistry {
public:
    static RoomRegistry& Instance();

    // The entry of Enter: the entrant's checks (Check of its op::Enter), then the room of that
    // key with the entrant in it; or null with *error set (ERR_ENTER_ROOM_FAILED: its user id
    // is in that room already).
    std::shared_ptr<Room> Enter(const std::string& key, const Entrant& entrant, int* error) EXCLUDES(mu_);
    // Drops an emptied room (only that very room: the key may already name a new one).
    void Forget(const std::string& key, const Room* room) EXCLUDES(mu_);

private:
    friend class ForkHandlersOf<RoomRegistry, &RoomRegistry::Instance>;
    RoomRegistry() = default;
    std::shared_ptr<Room> GetOrCreate(const std::string& key, const Room* stale) EXCLUDES(mu_);
    // fork(): the child's rooms start empty (see Instance).
    void BeforeFork() ACQUIRE(mu_);
    void AfterForkInParent() RELEASE(mu_);
    void AfterForkInChild() RELEASE(mu_);

    Mutex mu_;  // no other lock is taken under it
    std::map<std::string, std::shared_ptr<Room>> rooms_ GUARDED_BY(mu_);
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_CORE_ROOM_H
