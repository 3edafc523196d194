// Rooms: the process-wide registry of rooms and the fan-out of events and media to members.
//
// A room is keyed by its text "<sdk_app_id>/s:<str_room_id>" or "<sdk_app_id>/n:<room_id>".
// Everything a room knows about its members (channels, subscriptions, custom command
// sequence numbers) lives in its member records under the room's one lock, so that each
// operation decides all of its deliveries atomically. Deliveries go into the room's outbox
// under that lock and are handed to the receivers' dispatchers after it is released, by one
// thread at a time, so every receiver sees the room's operations in the order they happened
// and no room lock is ever held while a dispatcher's lock is taken. A caller that finds
// another thread draining waits until its own deliveries are handed over, so that when an
// operation returns, what it caused is in the receivers' queues.
//
// Behaviour worth knowing:
// - A user id can be in a room once: a second session entering with the same user id is
//   refused (KWIXCloud::EnterRoom returns ERR_ENTER_ROOM_FAILED and reports nothing).
// - Audio reaches every other member unless the receiver unsubscribed the sender's
//   STREAM_TYPE_AUDIO, converted, mixed and paced by the room's RoomAudio
//   (media/room_audio.h) on the engine clock's ticks; its frames join the room's outbox like
//   every other delivery, so none reaches a member after it left or after the sender's
//   channel closed.
// - Video reaches only members subscribed to (sender, stream type), as VideoFrame or
//   PixelFrame; a receiver that asked for the other kind (use_pixel_frame_output) gets
//   nothing, and the mismatch is logged. Subscribing asks the sender for a key frame when
//   the stream is open, otherwise when the sender opens it.
// - Subscriptions are remembered for users not (yet) in the room and forgotten when the
//   subscriber leaves.
// - SEI messages go with the sender's STREAM_TYPE_VIDEO_HIGH stream to its subscribers.
// - Custom commands reach every other member; sequence numbers count from 1 for each
//   (sender, receiver) pair. A lost unreliable command still uses up its number; the next
//   command that arrives is preceded by OnMissCustomCmdMsg(sender, cmd_id of the arriving
//   command, kCustomCmdLostInTransit, number lost).
// - A leaving member's channels turn unavailable for the others before
//   OnRemoteUserExitRoom(info, kExitReasonLeft).
//
// Network faults (network/network.h) act on what passes between members:
// - A delivery from S to R (an event about S, S's media, S's command) is delayed by S's
//   uplink and R's downlink latency plus the jitter drawn for it; a delayed one waits in the
//   room's holding queue and goes out on the first clock tick at or after its time. One
//   pair's deliveries never overtake each other, so jitter never reorders; only an unordered
//   command drawn "late" waits for the pair's next command and arrives right after it (or
//   kReorderWindowMs after its own time when no next one comes).
// - Audio frames, video frames (and their SEI messages) and unreliable commands may be lost.
//   Events and reliable commands are never lost, only delayed. A member's own events (its
//   connection, OnEnterRoom, its local channels) do not travel and are never delayed.
// - A dropped connection: on the first tick of the drop the member hears
//   OnConnectionStateChanged(CONNECTED, DISCONNECTED), OnError(kConnectionLostError) and
//   OnConnectionStateChanged(DISCONNECTED, CONNECTING); on the first tick after it
//   OnConnectionStateChanged(CONNECTING, CONNECTED). Meanwhile its sends are accepted and
//   lost (a lost command still uses up its sequence number), it receives no media and no
//   unreliable commands, and the events and reliable commands meant for it wait until it is
//   connected again, then arrive in order.
// - An unresponsive member keeps its connection; nothing it sends arrives.
// - A member silent (dropped or unresponsive) for the network's time-out is gone for the
//   others: its channels turn unavailable and they hear OnRemoteUserExitRoom(info,
//   kExitReasonTimeout). Until it is heard again it receives nothing and its sends are
//   dropped without using up sequence numbers; then the others hear OnRemoteUserEnterRoom
//   and its open channels become available, and its commands' sequence numbers start
//   afresh. A member that leaves while gone for the others leaves without telling them again.
#ifndef VELMORA_ENGINE_CORE_ROOM_H
#define VELMORA_ENGINE_CORE_ROOM_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "delivery/dispatcher.h"
#include "kwix/velmora_kwix_cloud.h"
#include "media/audio_counters.h"
#include "media/room_audio.h"
#include "network/network.h"

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
// An unordered command held back to arrive late waits at most this long for a next one.
constexpr int64_t kReorderWindowMs = 200;

// What a room needs to know of a session that enters it.
struct Entrant {
    uint64_t serial = 0;  // unique per session for the life of the process
    std::string user_id;
    kwix::KWIXRole role = kwix::KWIX_ROLE_ANCHOR;
    bool pixel_output = false;
    ListenerParams listening;
    bool detect_voice = false;
    std::shared_ptr<AudioCounters> audio_counters;
    std::shared_ptr<Dispatcher> dispatcher;
};

// A member's view of a network quality report: its own user and the others in join order.
struct RoomSnapshot {
    std::string self;
    std::vector<std::string> others;
};

class Room {
public:
    enum class JoinResult { kJoined, kDuplicateUser, kClosed };

    explicit Room(std::string key);
    Room(const Room&) = delete;
    Room& operator=(const Room&) = delete;

    const std::string& key() const { return key_; }

    JoinResult Join(const Entrant& entrant);
    // tell_leaver: OnExitRoom to the leaver (ExitRoom); a destroyed session hears nothing.
    // `reason` goes to the others' OnRemoteUserExitRoom. True when the session was a member.
    bool Leave(uint64_t serial, bool tell_leaver, int reason = kExitReasonLeft);

    // Results are KWIXCloud's: 0 or an Error code.
    // Opens (with `params`) or closes the member's local audio channel.
    int SetAudioChannel(uint64_t serial, bool open, const ChannelParams& params);
    int OpenVideo(uint64_t serial, kwix::StreamType type);
    int CloseVideo(uint64_t serial, kwix::StreamType type);
    int Subscribe(uint64_t serial, const std::string& user_id, kwix::StreamType type, bool on);
    int SendAudio(uint64_t serial, const kwix::AudioFrame& frame, bool continuous, bool clear_send_queue);
    void SetVoiceDetection(uint64_t serial, bool on);
    // One tick of the engine clock: the audio due now goes out.
    void MediaTick(int64_t now_ms);
    int SendVideo(uint64_t serial, kwix::StreamType type, std::shared_ptr<const kwix::VideoFrame> frame);
    int SendVideo(uint64_t serial, kwix::StreamType type, std::shared_ptr<const kwix::PixelFrame> frame);
    int SendSei(uint64_t serial, int message_type, std::string message);
    bool SendCustomCmd(uint64_t serial, uint32_t cmd_id, std::string message, bool reliable, bool ordered);

    bool Snapshot(uint64_t serial, RoomSnapshot* out) const;

private:
    template <typename Frame>
    int SendPicture(uint64_t serial, kwix::StreamType type, std::shared_ptr<const Frame> frame);
    struct Delivery {
        std::shared_ptr<Dispatcher> to;
        const char* name = nullptr;
        bool media = false;
        Dispatcher::Call call;
        std::shared_ptr<const kwix::AudioFrame> pulled;  // set: goes to the pull queue
        size_t pull_limit = 0;
        std::shared_ptr<AudioCounters> counters;  // of the receiver of a pulled frame
    };
    struct CmdTrack {
        uint32_t last_seq = 0;
        uint32_t missed = 0;
        std::optional<Delivery> late;  // an unordered command waiting for the next one
        int64_t late_until_ms = 0;
    };
    struct Member {
        Entrant who;
        bool audio_open = false;
        std::set<int> video_open;
        std::set<std::string> audio_muted;               // senders this member unsubscribed
        std::set<std::pair<std::string, int>> video_subs;  // (sender, stream type)
        std::map<uint64_t, CmdTrack> cmd_from;            // by sender serial
        bool link_down = false;  // its delegate heard that its connection dropped
        bool silenced = false;   // what it sends does not arrive (its audio is kept out of mixes)
        bool timed_out = false;  // the others heard it leave for silence
    };
    // What the network does to one delivery.
    struct Verdict {
        bool lost = false;
        bool receiver_cut = false;  // the receiver cannot be reached now: the delivery waits
        bool late = false;
        int64_t due_ms = 0;
    };
    struct Held {
        uint64_t from = 0;
        uint64_t to = 0;
        int64_t due_ms = 0;
        Delivery delivery;
    };
    struct PairBacklog {
        size_t held = 0;
        int64_t last_due_ms = 0;
    };

    Member* FindLocked(uint64_t serial);
    const Member* FindLocked(uint64_t serial) const;
    static Delivery MakeDelivery(const Member& to, const char* name, bool media, Dispatcher::Call call);
    void QueueLocked(const Member& to, const char* name, bool media, Dispatcher::Call call);
    // from: null for what the service itself sends (a mix).
    // on_tick: the members' link flags were just brought up to date; no need to ask the network.
    Verdict JudgeLocked(const Member* from, const Member& to, network::Cargo cargo, bool unordered, int64_t now_ms,
                        bool on_tick = false);
    // Into the outbox at once, or into the holding queue behind the pair's earlier deliveries.
    void DeliverLocked(uint64_t from, const Member& to, const Verdict& verdict, int64_t now_ms, Delivery delivery);
    // An event or message from `from` to `to`; false when it was lost on the way.
    bool RouteLocked(const Member& from, const Member& to, const char* name, network::Cargo cargo, int64_t now_ms,
                     Dispatcher::Call call);
    void AnnounceExitLocked(const Member& gone, int reason, int64_t now_ms);
    void AnnounceReturnLocked(const Member& back, int64_t now_ms);
    void SetSilencedLocked(Member& m, bool silenced);
    // Connection states, time-outs and the holding queue on a clock tick.
    void NetworkTickLocked(int64_t now_ms);
    // Hands the held deliveries that are due, and whose receivers can be reached, to the outbox.
    void ReleaseHeldLocked(int64_t now_ms);
    void Drain();

    const std::string key_;
    mutable std::mutex mu_;  // guards everything below
    std::vector<Member> members_;
    bool closed_ = false;  // emptied: never joinable again, the registry drops it
    std::deque<Delivery> outbox_;
    bool draining_ = false;
    uint64_t taken_ = 0;   // deliveries the drainers took from the outbox
    uint64_t handed_ = 0;  // of those, handed to their receivers
    std::condition_variable handed_over_;
    std::deque<Held> held_;  // in the order held; released on the clock's ticks
    std::map<std::pair<uint64_t, uint64_t>, PairBacklog> backlog_;  // (from, to) with deliveries held
    // Set under mu_ when a tick has network work to do (held deliveries, members in trouble).
    std::atomic<bool> network_work_{false};

    RoomAudio audio_;  // its own locks; the room calls it under mu_, never the other way
};

class RoomRegistry {
public:
    static RoomRegistry& Instance();

    // The room of that key with the entrant in it, or null with *error set.
    std::shared_ptr<Room> Enter(const std::string& key, const Entrant& entrant, int* error);
    // Drops an emptied room (only that very room: the key may already name a new one).
    void Forget(const std::string& key, const Room* room);

private:
    RoomRegistry() = default;
    std::shared_ptr<Room> GetOrCreate(const std::string& key, const Room* stale);

    std::mutex mu_;  // guards rooms_
    std::map<std::string, std::shared_ptr<Room>> rooms_;
};

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_CORE_ROOM_H
