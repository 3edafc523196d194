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
// Presence. A process that takes its first member into a room publishes kHello; processes
// with members there answer by publishing those members' state (entered, channels open), so
// the newcomer creates their ghosts. A process heartbeats each of its rooms every
// expiry/5; the ghosts of a process not heard in a room for `expiry` leave it with
// kExitReasonTimeout (a killed process). A process that stops or disconnects says kBye and
// its ghosts leave with kExitReasonLeft. Ghosts of a room in which this process no longer has
// members are dropped: a process mirrors only the rooms it takes part in.
//
// Network. A shared network setting (network/setting.h) made through this process's control
// API is published once on kNetworkChannel (kNetwork) and, when it is a lasting one, stored
// in kNetworkKey under its key; every other process applies it through network::Apply, as
// the control API does, but never publishes it again. A process reads kNetworkKey when it connects, after
// subscribing, so it misses nothing: a setting it reads and then hears again is applied twice,
// to the same result. A drop (kDisconnect) is an event, not stored: it lasts its duration from
// when each process hears of it, on that process's engine clock.
//
// User ids. Entering claims the key kClaimPrefix + room + ":" + user id with SET NX (expiring
// after `expiry`, refreshed by the heartbeat); a user id claimed by another process is
// refused like a local duplicate. Still eventual: a killed process's claim blocks its user
// id for up to `expiry`, and sessions that entered before the bus was connected are not
// claimed nor seen by other processes.
//
// Threads. The bus owns two: the publisher (the only user of the publishing connection:
// publishes in order, pipelined, claims, heartbeats) and the subscriber (the only user of
// the subscribing connection and of the ghosts: applies what others publish, expires
// ghosts). Session threads only queue. mu_ is never held while a Room lock is taken, except
// by the subscriber while it drops the ghosts of a room without local members (so that a
// session entering that room meanwhile does not meet ghosts on their way out); nothing takes
// mu_ while holding a Room lock. No network I/O happens under any lock.
#ifndef VELMORA_ENGINE_BUS_BUS_H
#define VELMORA_ENGINE_BUS_BUS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bus/wire.h"
#include "core/room.h"
#include "delivery/dispatcher.h"

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
constexpr int64_t kDefaultExpiryMs = 5000;

// "redis://host[:port][/db][?expiry_ms=N]" or "host[:port]"; port 6379 by default.
struct Address {
    std::string host;
    int port = 6379;
    int64_t expiry_ms = kDefaultExpiryMs;
};
// False with *error saying what is wrong with the text.
bool ParseAddress(const std::string& url, Address* out, std::string* error);

struct Counters {
    uint64_t published = 0;  // messages handed to Redis
    uint64_t received = 0;   // messages of other processes read from Redis
    uint64_t refused = 0;    // of those, unknown versions and malformed ones
    uint64_t rejected = 0;   // of those, readable ones the engine's checks refused
    uint64_t gaps = 0;       // a sender's sequence number skipped ahead (messages lost)
    uint64_t ghosts = 0;     // remote members mirrored now
    uint64_t lost = 0;       // not published: the connection had failed
};

class Bus {
public:
    // Connects both connections, subscribes and starts the threads; null with *error set.
    static std::shared_ptr<Bus> Connect(const std::string& url, std::string* error);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Says kBye in every room with local members, then stops both threads. With
    // remove_ghosts, the ghosts leave their rooms (kExitReasonLeft) first. Idempotent.
    void Stop(bool remove_ghosts);
    // A connection failed: the bus no longer carries anything.
    bool Broken() const { return broken_.load(); }
    Counters counters() const;

    // Before a session's local join: claims the user id. 0, or the EnterRoom error.
    int Claim(uint64_t serial, const std::string& room, const op::Enter& enter);
    // The claim is given back: the session did not join after all.
    void Release(uint64_t serial);
    // A local member's operation accepted by its Room (op::Enter: it joined; op::Exit: it
    // left); ignored for sessions the bus does not carry.
    void Publish(uint64_t serial, const Operation& operation);
    // A shared network setting made here: to every other process, now and later.
    void PublishNetwork(const network::Setting& setting);

private:
    struct Local {
        std::string room;
        op::Enter enter;
        bool joined = false;
        bool owns_claim = false;
        bool audio_open = false;
        ChannelParams channel;
        std::set<int> video_open;
        std::map<int, kwix::VideoEncodeParams> video_params;  // by stream type
        uint64_t seq = 0;
    };
    struct Ghost {
        std::string room;
        std::string user_id;
        uint64_t serial = 0;
        std::shared_ptr<Room> in;  // null: refused by the local room (its user id is taken)
        uint64_t last_seq = 0;
    };
    struct Job {
        enum What { kPublish, kClaim, kRefresh, kRelease, kNetwork };
        Job(What what_, std::string key_, std::string bytes_, std::shared_ptr<std::promise<int>> done_)
            : what(what_), key(std::move(key_)), bytes(std::move(bytes_)), done(std::move(done_)) {}
        What what;
        std::string key;  // the channel, or the claim's key
        std::string bytes;
        std::shared_ptr<std::promise<int>> done;  // kClaim: 1 claimed, 0 taken, -1 failed
        // kNetwork: the kNetworkKey fields it sets (with bytes) or, for a forget, deletes.
        std::vector<std::string> fields;
        bool forget = false;
    };
    using GhostKey = std::pair<uint64_t, uint64_t>;  // origin, sender
    using Clock = std::chrono::steady_clock;

    Bus(Address address, redisContext* pub, redisContext* sub);
    void PublisherLoop();
    void SubscriberLoop();
    // Runs a batch of jobs in order on the publishing connection.
    void RunJobs(std::vector<Job>& jobs);
    int RunClaim(const std::string& key);
    void QueueLocked(const std::string& room, Message m);
    // A local session is gone: its user id's claim is released and its room dropped when it
    // was the process's last member there.
    void ForgetLocked(std::map<uint64_t, Local>::iterator it);
    void QueueStateLocked(uint64_t serial, const Local& l);
    void HeartbeatLocked();
    void Handle(const std::string& channel, const std::string& payload);
    void Apply(const std::string& room, const Message& m);
    void EnterGhost(const std::string& room, const Message& m);
    // A readable message of another process the engine's checks refused (error: their code).
    void Reject(const std::string& where, const Message& m, const char* what, int error);
    // Ghosts matching `which` leave their rooms with `reason`; returns how many are left.
    template <typename Which>
    size_t RemoveGhosts(Which which, int reason);
    void CountGhosts(size_t ghosts);
    void ExpireGhosts();
    void Fail(const char* what, const char* detail);
    std::string ClaimKey(const Local& l) const;

    const Address address_;
    const uint64_t origin_;
    redisContext* const pub_;  // the publisher thread's alone
    redisContext* const sub_;  // the subscriber thread's alone
    const std::shared_ptr<Dispatcher> silent_;  // every ghost's: delivers nothing
    std::atomic<bool> broken_{false};
    std::atomic<bool> stopping_{false};
    std::once_flag stop_once_;

    mutable std::mutex mu_;  // guards everything below up to the threads
    std::condition_variable wake_;  // the publisher: jobs or stop
    std::map<uint64_t, Local> locals_;     // by session serial
    std::map<std::string, int> rooms_;     // local members (also entering ones) per room
    std::set<std::string> greeted_;        // rooms this process said kHello in
    std::vector<Job> jobs_;
    Counters counters_;

    // The subscriber thread's alone.
    std::map<GhostKey, Ghost> ghosts_;
    std::map<std::pair<std::string, uint64_t>, Clock::time_point> heard_;  // (room, origin)

    std::thread publisher_;
    std::thread subscriber_;
};

}  // namespace bus
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_BUS_BUS_H
