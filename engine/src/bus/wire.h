// The bus's wire format: one binary message per room operation, published on the room's
// channel and applied by every other process with members in that room.
//
// Layout (integers little-endian):
//   u8  version (kWireVersion; a message of any other version is refused, not guessed at)
//   u8  kind
//   u64 origin   the publishing process (random, new in each process and after fork)
//   u64 sender   the sender's session serial in its process; 0 for the process's own messages
//   u64 seq      per sender, from 1, in publishing order
//   str user_id  (u16 length, bytes)
//   ... the kind's fields, in the order of Message below; texts and payloads as u32 length
//   and bytes; a share (double) as the u64 of its IEEE-754 bits.
// A decoder reads exactly the kind's fields: trailing or missing bytes make the message
// malformed.
#ifndef VELMORA_ENGINE_BUS_WIRE_H
#define VELMORA_ENGINE_BUS_WIRE_H

#include <cstdint>
#include <memory>
#include <string>

#include "kwix/velmora_kwix_cloud.h"
#include "network/network.h"
#include "records/audio_params.h"

namespace velmora {
namespace loopback {
namespace bus {

constexpr uint8_t kWireVersion = 1;

enum class Kind : uint8_t {
    kHello = 1,     // a process took its first member into the room: who is here?
    kHeartbeat,     // the process is alive and still has members in the room
    kBye,           // the process leaves the room with all its members
    kEnter,         // role
    kExit,
    kAudioChannel,  // open, channel
    kVideoChannel,  // open, stream_type
    kSubscribe,     // target, stream_type, open (on)
    kAudio,         // flag (continuous), clear, audio
    kVideo,         // stream_type, video
    kPixel,         // stream_type, pixel
    kSei,           // number (message type), text
    kCustomCmd,     // number (cmd id), flag (reliable), ordered, text
    kNetwork,       // network: a network setting made through the control API (sent on
                    // kNetworkChannel, not a room's)
};

// A network setting as the control API made it, for every other process to apply as if made
// there. user_id is the message's; settings of the whole network have none.
struct NetworkSetting {
    enum What : uint8_t {
        kUplink = 1,    // link
        kDownlink,      // link
        kDisconnect,    // value: duration in ms, from the applying process's own now
        kUnresponsive,  // value: 1 on, 0 off
        kTimeout,       // value: ms
        kSeed,          // value: the seed's bits
        kForget,
        kQuality,       // value: the explicit network quality
    };
    What what = kUplink;
    int64_t value = 0;
    network::Link link;
};

struct Message {
    Kind kind = Kind::kHello;
    uint64_t origin = 0;
    uint64_t sender = 0;
    uint64_t seq = 0;
    std::string user_id;

    int32_t role = 0;
    bool open = false;
    ChannelParams channel;
    int32_t stream_type = 0;
    std::string target;
    bool flag = false;
    bool clear = false;
    bool ordered = true;
    int64_t number = 0;
    std::string text;
    std::shared_ptr<const kwix::AudioFrame> audio;
    std::shared_ptr<const kwix::VideoFrame> video;
    std::shared_ptr<const kwix::PixelFrame> pixel;
    NetworkSetting network;
};

std::string Encode(const Message& m);

enum class DecodeResult { kOk, kUnknownVersion, kMalformed };
// *version is set whenever the message has at least one byte.
DecodeResult Decode(const std::string& bytes, Message* out, int* version);

}  // namespace bus
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_BUS_WIRE_H
