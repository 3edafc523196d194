// The simulated network between members and the service: per user and per direction
// (uplink: what the user sends, downlink: what it receives) added latency, jitter, loss of
// audio frames, video frames and unreliable custom commands, and reordering of unordered
// commands; a user's dropped connection and a user that stops answering; the network quality
// that follows from all of it.
//
// Settings are keyed by user id, so they hold before a user enters a room and across its
// sessions. Rooms ask here what becomes of each delivery (Pass) and what state a member's
// link is in (PresenceOf); the rooms themselves hold delayed deliveries and tell the
// delegates (core/room.h).
//
// Every random draw comes from a generator of its own per (sender, receiver) pair, seeded
// from the network seed and the two user ids, so a pair's draws do not depend on what other
// pairs or other rooms did in between: the same operations on the manual clock give the same
// losses, delays and reorderings every run.
//
// One lock guards everything here; it is a leaf: nothing is called out while it is held.
// Like faults/faults.h, the state is leaked, so engine threads may read it during process exit.
#ifndef VELMORA_ENGINE_NETWORK_NETWORK_H
#define VELMORA_ENGINE_NETWORK_NETWORK_H

#include <cstdint>
#include <string>

namespace velmora {
namespace loopback {
namespace network {

enum Direction { kUplink = 0, kDownlink = 1 };

// The faults of one direction of a user's link.
struct Link {
    int64_t latency_ms = 0;
    int64_t jitter_ms = 0;  // each delivery is delayed by a further 0..jitter_ms, drawn
    double audio_loss = 0.0;
    double video_loss = 0.0;   // video frames and the SEI messages they carry
    double command_loss = 0.0;  // unreliable custom commands
    double reorder = 0.0;       // share of unordered custom commands that arrive after the next
};

// What travels: events (membership, channels) and reliable commands are never lost, only
// delayed; the rest may be lost.
enum class Cargo { kEvent, kReliableCommand, kCommand, kAudio, kVideo };

// A member the others no longer hear from is taken as gone after this much engine clock.
constexpr int64_t kDefaultTimeoutMs = 10000;

// False for a share outside 0..1 or a negative latency or jitter; nothing changes then.
bool SetLink(const std::string& user_id, Direction direction, const Link& link);
// The user's connection drops from now_ms for duration_ms (a drop under way is extended).
void Disconnect(const std::string& user_id, int64_t now_ms, int64_t duration_ms);
// The user stops answering from now_ms (on) or answers again (off).
void SetUnresponsive(const std::string& user_id, bool on, int64_t now_ms);
void SetTimeout(int64_t timeout_ms);
int64_t Timeout();
// Reseeds: every pair's generator starts over from the new seed.
void SetSeed(uint64_t seed);
// Everything set for this user goes (its explicit network quality too, see faults/faults.h).
void Forget(const std::string& user_id);
// No faults, the default time-out and seed.
void Reset();
// True once anything was set since the last Reset: rooms skip the network otherwise.
bool Active();

struct Presence {
    bool down = false;          // its connection is dropped
    bool unresponsive = false;  // connected, but nothing it sends arrives
    int64_t silent_since_ms = 0;  // when the others last heard from it (down or unresponsive)
    bool silent() const { return down || unresponsive; }
};
Presence PresenceOf(const std::string& user_id, int64_t now_ms);

struct Passage {
    bool lost = false;
    int64_t delay_ms = 0;
    bool late = false;  // an unordered command that arrives after the next one
};
// What becomes of one delivery from `from` to `to` ("" for the service itself, which has no
// uplink). Draws from the pair's generator; commands also meet the room-wide loss share
// (faults::CustomCmdLoss).
Passage Pass(const std::string& from, const std::string& to, Cargo cargo, bool unordered);

// The network quality reported for a user: vlb_set_network_quality's when one was set, else
// derived from its links' loss and delay, NETWORK_QUALITY_DOWN while its connection is
// dropped (and, as the others see it, while it does not answer).
int QualityOf(const std::string& user_id, int64_t now_ms, bool as_seen_by_itself);
// The quality its links alone give: loss and delay (latency plus half the jitter) of both
// directions together, the worse of the two classes.
int DerivedQuality(const Link& uplink, const Link& downlink);

}  // namespace network
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_NETWORK_NETWORK_H
