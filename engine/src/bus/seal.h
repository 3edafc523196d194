// The room-bus key at work: every bus message (room channels, the network channel and the
// stored network settings) authenticated and encrypted with it, so that a client of the Redis
// server without the key can neither read a room nor speak in it (libsodium's
// XChaCha20-Poly1305; Debian package libsodium-dev).
//
// A sealed message (the published bytes):
//   u8  kSealedMark
//   24  nonce, random
//   ... the sealed text: u64 counter, i64 sent_ms, then the message as wire.h lays it out
// The additional data is kSealedMark and the channel's name, so a message cannot be moved
// from one room to another. `counter` counts every message the process publishes, over all
// channels, and `sent_ms` is its wall clock: a receiver refuses a message whose counter is
// not above the last it took from that process, or sent more than kFreshMs from its own
// clock (bus.h), so that a recorded message cannot be played again.
//
// The key's text (address.h says where it comes from) is hashed into the 32-byte key; the
// text is never kept.
#ifndef VELMORA_ENGINE_BUS_SEAL_H
#define VELMORA_ENGINE_BUS_SEAL_H

#include <cstdint>
#include <memory>
#include <string>

namespace velmora {
namespace loopback {
namespace bus {

constexpr uint8_t kSealedMark = 0xA5;  // no wire version (wire.h) is this high

inline bool IsSealed(const std::string& bytes) {
    return !bytes.empty() && static_cast<uint8_t>(bytes[0]) == kSealedMark;
}

class Sealer {
public:
    // False in an engine built without libsodium.
    static bool Available();
    // Null with *error when this engine cannot seal.
    static std::unique_ptr<Sealer> Make(const std::string& key, std::string* error);
    ~Sealer();
    Sealer(const Sealer&) = delete;
    Sealer& operator=(const Sealer&) = delete;

    std::string Seal(const std::string& channel, uint64_t counter, int64_t sent_ms, const std::string& plain) const;
    // False when the bytes were not sealed with this key for this channel, or were altered.
    bool Open(const std::string& channel, const std::string& sealed, uint64_t* counter, int64_t* sent_ms,
              std::string* plain) const;

private:
    Sealer() = default;
    unsigned char key_[32] = {};
};

}  // namespace bus
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_BUS_SEAL_H
