// Fault switches and knobs that are not the network (network/setting.h has those): a failed
// Create, the receivers' queue bounds, full payloads in the journals; with one reset back to the
// defaults. The engine's own code reads them here; only the control API sets them.
//
// Engine threads read these while the process may be running its exit handlers, so they are
// plain atomics or leaked objects: nothing here has a destructor that could run under them.
#ifndef VELMORA_ENGINE_FAULTS_FAULTS_H
#define VELMORA_ENGINE_FAULTS_FAULTS_H

#include <cstddef>
#include <cstdint>

namespace velmora {
namespace loopback {
namespace faults {

// The next KWIXCloud::Create fails (once). TakeCreateFailure is true once after FailNextCreate.
void FailNextCreate();
bool TakeCreateFailure();

// Per-session bound on queued media frames (default 2048: a tick of a room of hundreds gives
// each listener hundreds of frames at once; time and bytes bound the queue well before).
void SetMediaQueueLimit(size_t frames);
size_t MediaQueueLimit();

// Per-session bound on the bytes waiting in its callback queue: payloads (frames, messages)
// plus a fixed charge per queued callback (default kDefaultReceiverQueueBytes).
constexpr size_t kDefaultReceiverQueueBytes = size_t{32} << 20;
void SetReceiverQueueBytes(size_t bytes);
size_t ReceiverQueueBytes();

// Media frames of the real clock that waited this long in a session's queue are dropped
// instead of delivered (default kDefaultMediaMaxWaitMs; 0: no bound).
constexpr int64_t kDefaultMediaMaxWaitMs = 150;
void SetMediaMaxWaitMs(int64_t ms);
int64_t MediaMaxWaitMs();

// The session journal keeps frame payloads byte for byte instead of their size and digest.
void SetJournalFullPayloads(bool full);
bool JournalFullPayloads();

// Every switch and knob back to its default.
void Reset();

}  // namespace faults
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_FAULTS_FAULTS_H
