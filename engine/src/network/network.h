// The simulated network's state: per user and per direction (uplink: what the user sends,
// downlink: what it receives) added latency, jitter, loss of audio frames, video frames and
// unreliable custom commands, reordering of unordered commands, and a bandwidth cap; a user's dropped
// connection and a user that stops answering; the room-wide command loss; the network
// quality that follows from all of it, or is set outright, and the interval of its reports.
//
// Settings are keyed by user id, so they hold before a user enters a room and across its
// sessions. They change only through network::Apply (network/setting.h); everything here
// reads them. Each room's Transit (network/transit.h) asks what becomes of each delivery
// (Pass) and what state a member's link is in (PresenceOf).
//
// Every random draw comes from a generator of its own per (sender, receiver) pair, seeded
// from the network seed and the two user ids, so a pair's draws do not depend on what other
// pairs or other rooms did in between: the same operations on the manual clock give the same
// losses, delays and reorderings every run.
//
// Ranges, chosen so that no sum or product of them can overflow and every one stays a time a
// test can mean: latency and jitter 0 to kMaxDelayMs per direction, a bandwidth cap 0 (none)
// to kMaxBandwidthKbps, a drop 1 to kMaxDropMs,
// the time-out 1 to kMaxTimeoutMs, the report interval 1 to kMaxReportIntervalMs, shares 0 to
// 1, a quality one of kwix::NetworkQuality.
//
// One lock guards everything here; it is a leaf: nothing is called out while it is held.
// The state is leaked, so engine threads may read it during process exit.
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
constexpr int64_t kDefaultReportIntervalMs = 2000;
constexpr int64_t kMaxDelayMs = 60000;
constexpr int64_t kMaxDropMs = 24 * 3600 * 1000;
constexpr int64_t kMaxTimeoutMs = 24 * 3600 * 1000;
constexpr int64_t kMaxReportIntervalMs = 3600 * 1000;
constexpr int64_t kMaxBandwidthKbps = 10000000;
// A capped link holds what it cannot carry yet in a buffer of this much time; video that
// would wait longer is lost.
constexpr int64_t kMaxQueueMs = 500;

// A link's values within their ranges (NaN is not a share).
bool IsValid(const Link& link);

int64_t Timeout();
// Interval of the network quality reports.
int64_t ReportInterval();
// No faults, no explicit qualities, no command loss, the default time-out, report interval
// and seed.
void Reset();
// True once a link fault, drop, unresponsive member or time-out was set since the last
// Reset: rooms skip the network otherwise.
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
// uplink). Draws from the pair's generator; commands also meet the room-wide loss share.
Passage Pass(const std::string& from, const std::string& to, Cargo cargo, bool unordered);

// The cap of one direction of the user's link in kbit/s, 0 for none. It applies to video (with
// its SEI messages): each room's transit queues the frames a capped link carries (network/
// transit.h), and a sender's video that exceeds its uplink's cap is asked to send less
// (core/room.h).
int64_t BandwidthKbps(const std::string& user_id, int direction);
// What a capped link did to a video frame: the time it waited and whether it was lost. Kept
// as a running average per user and direction, and counted in the quality reports as the
// link's own delay and loss are; removing the cap forgets it.
void NoteQueue(const std::string& user_id, int direction, int64_t delay_ms, bool lost);

// The network quality reported for a user: the one set explicitly when there is one, else
// derived from its links' loss and delay (a capped link's queueing too, see NoteQueue),
// NETWORK_QUALITY_DOWN while its connection is
// dropped (and, as the others see it, while it does not answer).
int QualityOf(const std::string& user_id, int64_t now_ms, bool as_seen_by_itself);
// The quality its links alone give: loss and delay (latency plus half the jitter) of both
// directions together, the worse of the two classes.
int DerivedQuality(const Link& uplink, const Link& downlink);

}  // namespace network
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_NETWORK_NETWORK_H
