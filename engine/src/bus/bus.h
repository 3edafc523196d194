// The room bus: loopback rooms that span processes (and machines) through a Redis server.
//
// Each process with the bus connected mirrors the members other processes have in its rooms
// as "ghosts": ordinary members of the local Room whose dispatcher delivers nothing. A local
// session's room operation (core/operation.h) is applied to the local Room as usual and,
// once accepted there, published once, as the session described it, on the room's channel
// (kChannelPrefix + room key); every other process with members in that room applies it to
// the sender's ghost through the same entry (RoomRegistry::Enter, Room::Apply), so a remote
// member meets every check a local one does. So local receivers get the same callbacks
// whether a sender is local or remote, and a sender's operations reach every process in the
// order it made them: one publisher connection sends them in order and Redis pub/sub keeps
// that order per connection. What another process sends is input: an unreadable message is
// refused, a readable one the checks refuse is rejected; both are counted, logged (the
// first and every 1000th) and never applied.
//
// Trust. With a room-bus key (address.h says where it comes from) every message is sealed
// (bus/seal.h): a message that does not open with the key is dropped and counted as forged,
// one whose process counter is not above the last taken from that process, or whose wall
// clock is more than kFreshMs from this one's, as replayed. So only processes with the key
// are heard, and what they said once cannot be said again by anyone else. Without a key the
// bus trusts every client of the Redis server (logged once at connect): any of them can
// read every room and speak as any member. Either way the work a flood of messages can cause
// is bounded: a message over kMaxBusMessageBytes is refused before it is opened or decoded,
// and ghosts, the processes heard per room, the processes whose counters are kept, and the
// subscriptions one ghost may hold are capped (over a cap: rejected, not applied); a hello is
// answered at most once per kHelloAnswerGap per room; what waits to be published is bounded
// in bytes (beyond it: lost).
//
// Presence. A process that takes its first member into a room publishes kHello; processes
// with members there answer by publishing those members' state (entered, channels open), so
// the newcomer creates their ghosts (a ghost that exists already takes its state again
// without effect). A process heartbeats each of its rooms every expiry/5; the ghosts of a
// process not heard in a room for `expiry` leave it with kExitReasonTimeout (a killed
// process). A process that stops or disconnects says kBye and its ghosts leave with
// kExitReasonLeft. Ghosts of a room in which this process no longer has members are
// dropped: a process mirrors only the rooms it takes part in.
//
// Network. A shared network setting (network/setting.h) made through this process's control
// API is published once on kNetworkChannel (kNetwork) and, when it is a lasting one, stored
// in kNetworkKey under its key; every other process applies it through network::Apply, as
// the control API does, but never publishes it again. A process reads kNetworkKey (at most
// kMaxStoredSettings fields) whenever it has subscribed, at connect and after a reconnect,
// so it misses nothing: a setting it reads and then hears again is applied twice, to the
// same result. A drop (kDisconnect) is an event, not stored: it lasts its duration from when
// each process hears of it, on that process's engine clock.
//
// User ids. A session enters its room here at once; its user id is claimed in the
// background under kClaimPrefix + room + ":" + user id (expiring after `expiry`, kept by the
// heartbeat, which claims it again should it have expired). Until the claim is answered the
// session's operations wait behind it; a user id another process holds takes the session
// out (CarriedSession::expel: OnError(ERR_ENTER_ROOM_FAILED), OnExitRoom) and what it did
// is never published. Still eventual: a killed process's claim blocks its user id for up to
// `expiry`, and sessions that entered before the bus was connected are not claimed nor seen
// by other processes.
//
// Losing the server. Either connection failing (a restart, a stall longer than the I/O
// time-out) loses the link: every carried session hears what a dropped connection sounds
// like (OnConnectionStateChanged CONNECTED to DISCONNECTED, OnError(ERR_NETWORK_UNREACHABLE),
// DISCONNECTED to CONNECTING), what cannot be published meanwhile is counted as lost, and
// each connection is made again by its thread with back-off (kFirstRetry doubling up to
// kLastRetry). Once both are back the bus subscribes again, reads the stored settings, claims
// its members' user ids again, says hello in its rooms and publishes its members' state;
// then the sessions hear CONNECTING to CONNECTED. Ghosts not heard for `expiry` meanwhile
// time out as usual. A bus started by EnterRoom (Start) whose very first connection fails
// gives up instead: its sessions are taken out as above and the next EnterRoom starts anew.
//
// Threads. The bus owns two: the publisher (the only user of the publishing connection:
// publishes in order, pipelined, claims, heartbeats, reconnects it) and the subscriber (the
// only user of the subscribing connection and of the ghosts: applies what others publish,
// expires ghosts, reconnects it). Session threads only queue. mu_ is never held while a
// Room lock is taken, except by the subscriber while it drops the ghosts of a room without
// local members (so that a session entering that room meanwhile does not meet ghosts on
// their way out); nothing takes mu_ while holding a Room lock. Connection states are posted
// to the sessions' dispatchers under mu_ (posting never waits for a callback), so a down and
// the following up always arrive in that order. No network I/O happens under any lock.
#ifndef VELMORA_ENGINE_BUS_BUS_H
#define VELMORA_ENGINE_BUS_BUS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bus/address.h"
#include "bus/seal.h"
#include "bus/wire.h"
#include "core/room.h"
#include "core/room_bus.h"
#include "delivery/dispatcher.h"
#include "sync/mutex.h"

struct redisContext;

namespace velmora {
namespace loopback {
namespace bus {

constexpr const char* kChannelPrefix = "velmora:room:";
constexpr const char* kClaimPrefix = "velmora:user:";
// Network settings are the process's, not a room's: one channel for all of them, and a hash
// of the current ones (field: the setting's key) for processes that connect later.
constexpr const char* kNetworkChannel = "velmora:network";
constexpr const char* kNetworkKey = "velmora:network:settings";

// The bounds (see Trust above).
constexpr size_t kMaxBusMessageBytes = 16u << 20;
constexpr size_t kMaxGhosts = 10000;
constexpr size_t kMaxHeard = 10000;            // (room, process) pairs heard
constexpr size_t kMaxProcesses = 10000;        // processes whose counters are kept (with a key)
constexpr size_t kMaxGhostSubscriptions = 4096;
constexpr size_t kMaxQueuedBytes = 64u << 20;  // waiting to be published
constexpr size_t kMaxStoredSettings = 4096;
constexpr int64_t kFreshMs = 60000;
constexpr std::chrono::milliseconds kHelloAnswerGap{100};
constexpr std::chrono::milliseconds kFirstRetry{50};
constexpr std::chrono::milliseconds kLastRetry{2000};

struct Counters {
    uint64_t published = 0;   // messages handed to Redis
    uint64_t received = 0;    // messages of other processes read from Redis
    uint64_t refused = 0;     // of those, unknown versions, malformed and oversized ones
    uint64_t rejected = 0;    // of those, readable ones the engine's checks or the bus's caps refused
    uint64_t forged = 0;      // with a key: of those, ones that did not open with it
    uint64_t replayed = 0;    // with a key: of those, ones taken before or out of date
    uint64_t gaps = 0;        // a sender's sequence number skipped ahead (messages lost)
    uint64_t ghosts = 0;      // remote members mirrored now
    uint64_t lost = 0;        // not published: the server was out of reach, or over a bound
    uint64_t claiming = 0;    // sessions whose user id's claim is not answered yet
    uint64_t expelled = 0;    // sessions taken out: their user id was another process's
    uint64_t reconnects = 0;  // times the link came back after losing the server
};

class Bus {
public:
    // Connects both connections now (subscribed, stored settings read), then starts the
    // threads; null with *error set. For the control API, whose callers do not hold the
    // interpreter lock.
    static std::shared_ptr<Bus> Connect(const Address& address, std::string* error);
    // Returns at once; the threads connect, from the first Claim on. `origin_text` names
    // where the URL came from in the log line of a first connection that fails. Null with *error when the key cannot
    // be used (an engine without libsodium).
    static std::shared_ptr<Bus> Start(const Address& address, const std::string& origin_text, std::string* error);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Says kBye in every room with local members, then stops both threads. With
    // remove_ghosts, the ghosts leave their rooms (kExitReasonLeft) first. Idempotent.
    void Stop(bool remove_ghosts);
    // Started by EnterRoom, its first connection failed: it carries nothing, ever.
    bool Failed() const { return failed_.load(); }
    Counters counters() const;

    // Before a session's local join: queues its user id's claim. 0, or EnterRoom's error.
    int Claim(uint64_t serial, const std::string& room, const op::Enter& enter, CarriedSession session);
    // The claim is given back: the session did not join after all.
    void Release(uint64_t serial);
    // A local member's operation accepted by its Room (op::Enter: it joined; op::Exit: it
    // left); ignored for sessions the bus does not carry.
    void Publish(uint64_t serial, const Operation& operation);
    // Whether Publish publishes the session's operations: it joined its room through this bus.
    bool Carries(uint64_t serial);
    // A shared network setting made here: to every other process, now and later.
    void PublishNetwork(const network::Setting& setting);

private:
    struct Local {
        std::string room;
        op::Enter enter;
        CarriedSession session;
        uint64_t ticket = 0;  // this entry's; its jobs carry it
        bool claimed = false;
        bool joined = false;
        bool told_down = false;  // heard the link go down, not yet back
        bool audio_open = false;
        ChannelParams channel;
        std::set<int> video_open;
        std::map<int, kwix::VideoEncodeParams> video_params;  // by stream type
        std::set<std::pair<std::string, int>> subscriptions;  // those differing from the default
        uint64_t seq = 0;
    };
    struct Ghost {
        std::string room;
        std::string user_id;
        uint64_t serial = 0;
        std::shared_ptr<Room> in;  // null: refused by the local room (its user id is taken)
        uint64_t last_seq = 0;
        bool audio_open = false;
        ChannelParams channel;
        std::set<int> video_open;
        std::set<std::pair<std::string, int>> remembered;  // subscriptions differing from the default
    };
    struct Job {
        enum What { kPublish, kClaim, kRelease, kNetwork, kReadSettings };
        What what = kPublish;
        std::string key;    // the channel, or the claim's key
        std::string bytes;  // kPublish, kNetwork: the message (sealed when published)
        uint64_t serial = 0;
        uint64_t ticket = 0;  // the Local's, 0 for the process's own messages
        // kNetwork: the kNetworkKey fields it sets (with bytes) or, for a forget, deletes.
        std::vector<std::string> fields;
        bool forget = false;
    };
    using GhostKey = std::pair<uint64_t, uint64_t>;  // origin, sender
    using Clock = std::chrono::steady_clock;
    enum class Side { kPublisher, kSubscriber };

    Bus(Address address, std::unique_ptr<Sealer> sealer);
    void StartThreads();
    redisContext* Open(Side side, std::string* error) const;
    void PublisherLoop();
    void SubscriberLoop();
    // Runs a batch of jobs in order on the publishing connection.
    void RunJobs(std::vector<Job>& jobs);
    bool ReadStoredSettings(redisContext* c);
    void QueueLocked(const std::string& room, Message m, uint64_t ticket) REQUIRES(mu_);
    void QueueJobLocked(Job job) REQUIRES(mu_);
    // A local session is gone: its user id's claim is released and its room dropped when it
    // was the process's last member there.
    void ForgetLocked(std::map<uint64_t, Local>::iterator it) REQUIRES(mu_);
    // A local member of `room` is gone: the last one takes the room's state with it.
    void LeftRoomLocked(const std::string& room) REQUIRES(mu_);
    void QueueStateLocked(uint64_t serial, Local& l) REQUIRES(mu_);
    // Claims (or keeps claiming) the user id of local session `serial` in its room.
    void QueueClaimLocked(uint64_t serial, const Local& l) REQUIRES(mu_);
    void HeartbeatLocked() REQUIRES(mu_);
    void AnswerHellosLocked(Clock::time_point now) REQUIRES(mu_);
    // The claim's answer: 1 claimed, 0 another session's, -1 not answered (the link is
    // lost), -2 refused by the server. True when the entry is refused: none of its jobs run.
    bool Claimed(const Job& job, int answer);
    // A connection's state changed; the link is up when both are.
    void SetUpLocked(Side side, bool up, const std::string& why) REQUIRES(mu_);
    void TellLocked(Local& l, bool down) REQUIRES(mu_);
    void GiveUp(const std::string& why);
    void Handle(const std::string& channel, const std::string& payload);
    void Apply(const std::string& room, const Message& m);
    void EnterGhost(const std::string& room, const Message& m);
    // A readable message of another process the engine's checks refused (error: their code).
    void Reject(const std::string& where, const Message& m, const char* what, int error);
    void Refuse(const std::string& channel, const std::string& what, const std::string& why);
    // Ghosts matching `which` leave their rooms with `reason`; returns how many are left.
    template <typename Which>
    size_t RemoveGhosts(Which which, int reason);
    void CountGhosts(size_t ghosts);
    void ExpireGhosts();
    std::string ClaimKey(const Local& l) const;
    std::string ClaimValue(uint64_t serial) const;

    const Address address_;
    const std::unique_ptr<Sealer> sealer_;  // null without a key
    const uint64_t origin_;
    const std::shared_ptr<Dispatcher> silent_;  // every ghost's: delivers nothing
    std::string origin_text_;                   // Start: where the URL came from
    std::atomic<bool> failed_{false};
    std::atomic<bool> stopping_{false};
    std::once_flag stop_once_;

    redisContext* pub_ = nullptr;  // the publisher thread's alone (before it starts: Connect's)
    redisContext* sub_ = nullptr;  // the subscriber thread's alone (likewise)
    uint64_t counter_ = 0;         // the publisher thread's: the last sealed message's

    mutable Mutex mu_;  // guards what follows up to the publisher thread's own
    CondVar wake_;  // the publisher: jobs, stop, or a hello to answer
    bool pub_up_ GUARDED_BY(mu_) = false;
    bool sub_up_ GUARDED_BY(mu_) = false;
    bool ever_up_ GUARDED_BY(mu_) = false;  // the link was up once
    // The subscribing connection failed: the publishing one, idle, may have failed unnoticed
    // (a restarted server). Checked before the link can count as up again.
    bool pub_suspect_ GUARDED_BY(mu_) = false;
    Clock::time_point down_since_ GUARDED_BY(mu_);
    std::map<uint64_t, Local> locals_ GUARDED_BY(mu_);     // by session serial
    std::map<std::string, int> rooms_ GUARDED_BY(mu_);     // local members (also entering ones) per room
    std::set<std::string> greeted_ GUARDED_BY(mu_);        // rooms this process said kHello in
    std::map<std::string, Clock::time_point> answered_ GUARDED_BY(mu_);  // rooms: when a hello was last answered
    std::set<std::string> hellos_due_ GUARDED_BY(mu_);     // rooms whose hello waits for kHelloAnswerGap
    std::vector<Job> jobs_ GUARDED_BY(mu_);
    size_t queued_bytes_ GUARDED_BY(mu_) = 0;
    uint64_t next_ticket_ GUARDED_BY(mu_) = 0;
    Counters counters_ GUARDED_BY(mu_);

    // The publisher thread's alone: releases that wait for the server.
    std::vector<Job> held_;

    // The subscriber thread's alone.
    std::map<GhostKey, Ghost> ghosts_;
    std::map<std::pair<std::string, uint64_t>, Clock::time_point> heard_;  // (room, origin)
    struct Heard {
        uint64_t counter = 0;
        Clock::time_point at;
    };
    std::map<uint64_t, Heard> counters_by_origin_;  // with a key: the last counter taken
    Clock::time_point next_sweep_;

    std::thread publisher_;
    std::thread subscriber_;
};

}  // namespace bus
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_BUS_BUS_H
