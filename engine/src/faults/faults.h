// Fault switches and knobs: every condition that tests and tools turn through the control API
// to make the engine misbehave or behave differently (a failed Create, lost commands, network
// quality, queue limits, report intervals), with one reset back to the defaults. The engine's
// own code reads them here; only the control API sets them.
//
// Engine threads read these while the process may be running its exit handlers, so they are
// plain atomics or leaked objects: nothing here has a destructor that could run under them.
#ifndef VELMORA_ENGINE_FAULTS_FAULTS_H
#define VELMORA_ENGINE_FAULTS_FAULTS_H

#include <chrono>
#include <cstddef>
#include <string>

namespace velmora {
namespace loopback {
namespace faults {

// The next KWIXCloud::Create fails (once). TakeCreateFailure is true once after FailNextCreate.
void FailNextCreate();
bool TakeCreateFailure();

// Share (0 to 1) of unreliable custom commands lost in transit, room-wide; the draws are the
// network's (network/network.h), which adds each member's own share.
void SetCustomCmdLoss(double share);
double CustomCmdLoss();

// The network quality set explicitly for a user, which wins over the one its network faults
// give (network/network.h). False when none was set.
void SetNetworkQuality(const std::string& user_id, int quality);
bool ExplicitNetworkQuality(const std::string& user_id, int* quality);
void ForgetNetworkQuality(const std::string& user_id);

// Interval of the network quality reports (at least 1 ms; default 2000 ms).
void SetNetworkQualityInterval(int interval_ms);
std::chrono::milliseconds NetworkQualityInterval();

// Per-session bound on queued media frames (default 256).
void SetMediaQueueLimit(size_t frames);
size_t MediaQueueLimit();

// The session journal keeps frame payloads byte for byte instead of their size and digest.
void SetJournalFullPayloads(bool full);
bool JournalFullPayloads();

// Every switch and knob back to its default.
void Reset();

}  // namespace faults
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_FAULTS_FAULTS_H
