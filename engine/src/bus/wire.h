// The bus's wire format: one binary message per room operation, published on the room's
// channel and applied by every other process with members in that room; the process's own
// presence in a room (hello, heartbeat, bye); and network settings, on their own channel.
//
// Layout (integers little-endian):
//   u8  version (kWireVersion; a message of any other version is refused, not guessed at)
//   u8  kind
//   u64 origin   the publishing process (random, new in each process and after fork)
//   u64 sender   the sender's session serial in its process; 0 for the process's own messages
//   u64 seq      per sender, from 1, in publishing order
//   str user_id  (u16 length, bytes): the sender's; its Enter's user id
//   ... the kind's fields: a room operation's (core/operation.h) in the order wire.cpp lists
//   them for its kind; a network setting's u8 index in network::Setting followed by the
//   fields its Fields() lists. Texts and payloads as u32 length and bytes (a user id a
//   subscription names: u16), a share (double) as the u64 of its IEEE-754 bits, a bool as
//   one byte 0 or 1, an enumeration as i32.
// A decoder reads exactly the kind's fields: trailing or missing bytes, an unknown kind or
// setting, or a bool byte other than 0 and 1 make the message malformed. What a readable
// message says is then checked like a local call (core/operation.h, network/setting.h).
#ifndef VELMORA_ENGINE_BUS_WIRE_H
#define VELMORA_ENGINE_BUS_WIRE_H

#include <cstdint>
#include <string>

#include "core/operation.h"
#include "network/setting.h"

namespace velmora {
namespace loopback {
namespace bus {

// 2: network settings as network::Setting lists them. 3: video encode parameters, the
// bandwidth setting.
constexpr uint8_t kWireVersion = 3;

// Each alternative of Operation has its kind (wire.cpp maps them); a new operation takes the
// next kind after the last.
enum class Kind : uint8_t {
    kHello = 1,     // a process took its first member into the room: who is here?
    kHeartbeat,     // the process is alive and still has members in the room
    kBye,           // the process leaves the room with all its members
    kEnter,         // op::Enter
    kExit,          // op::Exit
    kAudioChannel,  // op::AudioChannel
    kVideoChannel,  // op::VideoChannel
    kSubscribe,     // op::Subscription
    kAudio,         // op::Audio
    kVideo,         // op::Video
    kPixel,         // op::Pixels
    kSei,           // op::Sei
    kCustomCmd,     // op::Command
    kNetwork,       // a network::Setting made through the control API (sent on kNetworkChannel)
    kVideoParams,   // op::VideoParams
};

// The kind that carries this operation.
Kind KindOf(const Operation& operation);
bool IsOperation(Kind kind);

struct Message {
    Kind kind = Kind::kHello;
    uint64_t origin = 0;
    uint64_t sender = 0;
    uint64_t seq = 0;
    std::string user_id;
    Operation operation;       // an operation's kind
    network::Setting setting;  // kNetwork
};

// A message carrying the operation, its kind set.
Message OperationMessage(const Operation& operation);

std::string Encode(const Message& m);

enum class DecodeResult { kOk, kUnknownVersion, kMalformed };
// *version is set whenever the message has at least one byte.
DecodeResult Decode(const std::string& bytes, Message* out, int* version);

}  // namespace bus
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_BUS_WIRE_H
