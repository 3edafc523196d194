// The room bus's hooks in an engine built without hiredis: rooms stay within the process,
// and asking for a bus says why there is none instead of quietly staying local.
#include <cstdlib>

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

int BeforeEnter(uint64_t, const std::string&, const std::string&, kwix::KWIXRole) {
    const char* url = std::getenv(kUrlVariable);
    if (url == nullptr || *url == '\0') return kwix::ERR_OK;
    Logf(LogLevel::kError, "EnterRoom: %s is set but %s", kUrlVariable, kWhy);
    return kwix::ERR_ENTER_ROOM_FAILED;
}

void AfterEnter(uint64_t, bool) {}
void Left(uint64_t) {}
void AudioChannel(uint64_t, bool, const ChannelParams&) {}
void VideoChannel(uint64_t, kwix::StreamType, bool) {}
void Subscription(uint64_t, const std::string&, kwix::StreamType, bool) {}
void Audio(uint64_t, const kwix::AudioFrame&, bool, bool) {}
void Video(uint64_t, kwix::StreamType, std::shared_ptr<const kwix::VideoFrame>) {}
void Video(uint64_t, kwix::StreamType, std::shared_ptr<const kwix::PixelFrame>) {}
void Sei(uint64_t, int, const std::string&) {}
void CustomCmd(uint64_t, uint32_t, const std::string&, bool, bool) {}
void Network(const std::string&, const NetworkSetting&) {}

bool Connect(const std::string&, std::string* error) {
    *error = kWhy;
    return false;
}

bool Disconnect() { return false; }
bool Counter(const std::string&, uint64_t*) { return false; }
std::string LastError() { return kWhy; }

}  // namespace bus
}  // namespace loopback
}  // namespace velmora
