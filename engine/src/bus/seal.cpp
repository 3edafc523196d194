#include "bus/seal.h"

#ifdef VELMORA_WITH_SODIUM
#include <sodium.h>
#endif

#include <cstring>

namespace velmora {
namespace loopback {
namespace bus {

#ifdef VELMORA_WITH_SODIUM

namespace {

constexpr size_t kNonce = crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr size_t kTag = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr size_t kHeader = 16;  // counter and sent_ms
static_assert(crypto_aead_xchacha20poly1305_ietf_KEYBYTES == 32, "a 32-byte key");

// Separates this use of a key's text from any other use of the same text.
constexpr char kContext[] = "velmora room bus, sealed messages, 1";

std::string AdditionalData(const std::string& channel) {
    std::string ad(1, static_cast<char>(kSealedMark));
    ad += channel;
    return ad;
}

void PutLittle(unsigned char* to, uint64_t v) {
    for (int i = 0; i < 8; ++i) to[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint64_t GetLittle(const unsigned char* from) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(from[i]) << (8 * i);
    return v;
}

}  // namespace

bool Sealer::Available() { return true; }

std::unique_ptr<Sealer> Sealer::Make(const std::string& key, std::string* error) {
    if (sodium_init() < 0) {
        *error = "libsodium could not start (sodium_init failed)";
        return nullptr;
    }
    std::unique_ptr<Sealer> sealer(new Sealer);
    crypto_generichash(sealer->key_, sizeof sealer->key_, reinterpret_cast<const unsigned char*>(key.data()),
                       key.size(), reinterpret_cast<const unsigned char*>(kContext), sizeof kContext - 1);
    return sealer;
}

Sealer::~Sealer() { sodium_memzero(key_, sizeof key_); }

std::string Sealer::Seal(const std::string& channel, uint64_t counter, int64_t sent_ms,
                         const std::string& plain) const {
    std::string inner(kHeader, '\0');
    PutLittle(reinterpret_cast<unsigned char*>(&inner[0]), counter);
    PutLittle(reinterpret_cast<unsigned char*>(&inner[8]), static_cast<uint64_t>(sent_ms));
    inner += plain;
    std::string out(1 + kNonce + inner.size() + kTag, '\0');
    auto* bytes = reinterpret_cast<unsigned char*>(&out[0]);
    bytes[0] = kSealedMark;
    randombytes_buf(bytes + 1, kNonce);
    const std::string ad = AdditionalData(channel);
    unsigned long long written = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(bytes + 1 + kNonce, &written,
                                               reinterpret_cast<const unsigned char*>(inner.data()), inner.size(),
                                               reinterpret_cast<const unsigned char*>(ad.data()), ad.size(), nullptr,
                                               bytes + 1, key_);
    sodium_memzero(&inner[0], inner.size());
    out.resize(1 + kNonce + static_cast<size_t>(written));
    return out;
}

bool Sealer::Open(const std::string& channel, const std::string& sealed, uint64_t* counter, int64_t* sent_ms,
                  std::string* plain) const {
    if (!IsSealed(sealed) || sealed.size() < 1 + kNonce + kTag + kHeader) return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(sealed.data());
    std::string inner(sealed.size() - 1 - kNonce - kTag, '\0');
    const std::string ad = AdditionalData(channel);
    unsigned long long length = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(reinterpret_cast<unsigned char*>(&inner[0]), &length, nullptr,
                                                   bytes + 1 + kNonce, sealed.size() - 1 - kNonce,
                                                   reinterpret_cast<const unsigned char*>(ad.data()), ad.size(),
                                                   bytes + 1, key_) != 0) {
        return false;
    }
    const auto* header = reinterpret_cast<const unsigned char*>(inner.data());
    *counter = GetLittle(header);
    *sent_ms = static_cast<int64_t>(GetLittle(header + 8));
    *plain = inner.substr(kHeader, static_cast<size_t>(length) - kHeader);
    return true;
}

#else  // built without libsodium

bool Sealer::Available() { return false; }

std::unique_ptr<Sealer> Sealer::Make(const std::string&, std::string* error) {
    *error = "this engine was built without libsodium, which a room-bus key needs; install the Debian package "
             "libsodium-dev and rebuild, or connect without a key";
    return nullptr;
}

Sealer::~Sealer() = default;
std::string Sealer::Seal(const std::string&, uint64_t, int64_t, const std::string&) const { return std::string(); }
bool Sealer::Open(const std::string&, const std::string&, uint64_t*, int64_t*, std::string*) const { return false; }

#endif

}  // namespace bus
}  // namespace loopback
}  // namespace velmora
