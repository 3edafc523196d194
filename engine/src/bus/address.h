// Where the room bus connects, read from its URL, and the URL as it may be shown.
//
//   [redis://][[user]:password@]host[:port][/db][?option=value[&option=value...]]
//
// host may be an IPv6 address in brackets; port 6379 by default; /db is accepted and
// ignored (pub/sub spans databases). The password, and with it the user name where given,
// log in to Redis (AUTH). Options:
//   expiry_ms=N   how long a silent process's members stay, 100 to kMaxExpiryMs (5000)
//   key=TEXT      the room-bus key (bus/seal.h), kMinKeyBytes to kMaxKeyBytes
//   key_file=PATH a file holding the room-bus key (its trailing white space dropped)
// The password, user name, key and path are percent-decoded: write @ : / ? & % in them as
// %40 %3A %2F %3F %26 %25. rediss:// (TLS) is refused: this engine's hiredis has no TLS.
//
// Secrets never reach a text: Masked() is the form every message, log line and error shows.
#ifndef VELMORA_ENGINE_BUS_ADDRESS_H
#define VELMORA_ENGINE_BUS_ADDRESS_H

#include <cstdint>
#include <string>

namespace velmora {
namespace loopback {
namespace bus {

constexpr int64_t kDefaultExpiryMs = 5000;
constexpr int64_t kMinExpiryMs = 100;
constexpr int64_t kMaxExpiryMs = 24 * 3600 * 1000;
constexpr size_t kMinKeyBytes = 16;
constexpr size_t kMaxKeyBytes = 1024;
// The environment variable that gives the key when neither the URL nor the control API does.
constexpr const char* kKeyVariable = "VELMORA_LOOPBACK_BUS_KEY";

struct Address {
    std::string host;
    int port = 6379;
    int64_t expiry_ms = kDefaultExpiryMs;
    std::string user;      // with a password only; empty: the default user
    std::string password;  // empty: no AUTH
    std::string key;       // empty: no key (the bus then trusts every client of the server)
    std::string where;     // "host:port", for messages
};

// Reads `url`; false with *error saying what is wrong (the URL masked). Reads the key file.
bool ParseAddress(const std::string& url, Address* out, std::string* error);

// A key's text as the bus takes it: within kMinKeyBytes..kMaxKeyBytes, else false with
// *error saying so (without the key).
bool CheckKey(const std::string& key, const char* from, std::string* error);

// `url` with its password (and a user name without one) and its key replaced by "***"; a
// text that cannot be split reliably is masked from the host on.
std::string Masked(const std::string& url);

}  // namespace bus
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_BUS_ADDRESS_H
