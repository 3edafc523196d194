// Rooms: the process-wide registry of rooms and the fan-out of events and media to members.
//
// A room is keyed by its text "<sdk_app_id>/s:<str_room_id>" or "<sdk_app_id>/n:<room_id>".
// Everything a room knows about its members (channels, subscriptions, custom command
// sequence numbers) lives in its member records under the room's one lock, so that each
// operation decides all of its deliveries atomically. Deliveries go into the room's outbox
// under that lock and are handed to the receivers' dispatchers after it is released, by one
// thread at a time, so every receiver sees the room's operations in the order they happened
// and no room lock is ever held while a dispatcher's lock is taken.
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
#ifndef VELMORA_ENGINE_ROOM_H
#define VELMORA_ENGINE_ROOM_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dispatcher.h"
#include "kwix/velmora_kwix_cloud.h"
#include "media/audio_counters.h"
#include "media/room_audio.h"

namespace velmora {
namespace loopback {

// error_code of OnMissCustomCmdMsg for commands lost in transit.
constexpr uint32_t kCustomCmdLostInTransit = 1;
// reason of OnRemoteUserExitRoom: the user left (ExitRoom or the end of its session).
constexpr int kExitReasonLeft = 0;
// reason of OnRemoteUserExitRoom: the user's connection was lost (nothing heard for too long).
constexpr int kExitReasonTimedOut = 1;

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
    bool SendCustomCmd(uint64_t serial, uint32_t cmd_id, std::string message, bool reliable);

    bool Snapshot(uint64_t serial, RoomSnapshot* out) const;

private:
    template <typename Frame>
    int SendPicture(uint64_t serial, kwix::StreamType type, std::shared_ptr<const Frame> frame);
    struct CmdTrack {
        uint32_t last_seq = 0;
        uint32_t missed = 0;
    };
    struct Member {
        Entrant who;
        bool audio_open = false;
        std::set<int> video_open;
        std::set<std::string> audio_muted;               // senders this member unsubscribed
        std::set<std::pair<std::string, int>> video_subs;  // (sender, stream type)
        std::map<uint64_t, CmdTrack> cmd_from;            // by sender serial
    };
    struct Delivery {
        std::shared_ptr<Dispatcher> to;
        const char* name = nullptr;
        bool media = false;
        Dispatcher::Call call;
        std::shared_ptr<const kwix::AudioFrame> pulled;  // set: goes to the pull queue
        size_t pull_limit = 0;
        std::shared_ptr<AudioCounters> counters;  // of the receiver of a pulled frame
    };

    Member* FindLocked(uint64_t serial);
    const Member* FindLocked(uint64_t serial) const;
    void QueueLocked(const Member& to, const char* name, bool media, Dispatcher::Call call);
    void Drain();

    const std::string key_;
    mutable std::mutex mu_;  // guards everything below
    std::vector<Member> members_;
    bool closed_ = false;  // emptied: never joinable again, the registry drops it
    std::deque<Delivery> outbox_;
    bool draining_ = false;

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

#endif  // VELMORA_ENGINE_ROOM_H
