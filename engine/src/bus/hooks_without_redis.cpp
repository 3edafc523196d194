// The room bus's calls in an engine built without hiredis: rooms stay within the process,
// and asking for a bus says why there is none instead of quietly staying local.
#include <cstdlib>

#include "bus/address.h"
#include "bus/hooks.h"
#include "log/log.h"

namespace velmora {
namespace loopback {
namespace bus {

namespace {

const char* const kWhy =
    "this engine was built without hiredis; install the Debian package libhiredis-dev and rebuild to let rooms "
    "span processes";

}  // namespace

int Claim(uint64_t, const std::string&, const op::Enter&, CarriedSession) {
    const char* url = std::getenv(kUrlVariable);
    if (url == nullptr || *url == '\0') return kwix::ERR_OK;
    Logf(LogLevel::kError, "EnterRoom: %s is set but %s", kUrlVariable, kWhy);
    return kwix::ERR_ENTER_ROOM_FAILED;
}

void Unclaim(uint64_t) {}
void Publish(uint64_t, const Operation&) {}
bool Carries(uint64_t) { return false; }
void Share(const network::Setting&) {}

bool Connect(const std::string&, const char*, std::string* error) {
    *error = kWhy;
    return false;
}

bool Disconnect() { return false; }
bool Counter(const std::string&, uint64_t*) { return false; }
std::string LastError() { return kWhy; }
std::string Mask(const std::string& text) { return Masked(text); }

}  // namespace bus
}  // namespace loopback
}  // namespace velmora
