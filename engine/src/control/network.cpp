// Control API: the simulated network's faults per member and direction, drops, members that
// stop answering, the time-out and the seed of every draw. Each setting is applied here, then
// handed to the room bus, which applies it in every other connected process (bus/bus.h).
#include <cmath>
#include <string>

#include "bus/hooks.h"
#include "control/control.h"
#include "core/clock.h"
#include "network/network.h"
#include "velmora_loopback.h"

namespace network = velmora::loopback::network;
using velmora::loopback::Clock;
using velmora::loopback::bus::NetworkSetting;

namespace {

int64_t Now() { return Clock::Instance().NowMs(); }

void Share(const std::string& user_id, NetworkSetting::What what, int64_t value,
           const network::Link& link = network::Link()) {
    NetworkSetting setting;
    setting.what = what;
    setting.value = value;
    setting.link = link;
    velmora::loopback::bus::Network(user_id, setting);
}

}  // namespace

extern "C" {

int vlb_network_link(const char* user_id, int direction, int64_t latency_ms, int64_t jitter_ms, double audio_loss,
                     double video_loss, double command_loss, double reorder) {
    if (user_id == nullptr) return VLB_NULL;
    if (direction != VLB_UPLINK && direction != VLB_DOWNLINK && direction != VLB_BOTH_WAYS) return VLB_INVALID;
    network::Link link;
    link.latency_ms = latency_ms;
    link.jitter_ms = jitter_ms;
    link.audio_loss = audio_loss;
    link.video_loss = video_loss;
    link.command_loss = command_loss;
    link.reorder = reorder;
    // NaN fails every comparison, so SetLink alone would not refuse it.
    for (double share : {audio_loss, video_loss, command_loss, reorder}) {
        if (std::isnan(share)) return VLB_INVALID;
    }
    const bool up = direction != VLB_DOWNLINK;
    const bool down = direction != VLB_UPLINK;
    if (up && !network::SetLink(user_id, network::kUplink, link)) return VLB_INVALID;
    if (down && !network::SetLink(user_id, network::kDownlink, link)) return VLB_INVALID;
    if (up) Share(user_id, NetworkSetting::kUplink, 0, link);
    if (down) Share(user_id, NetworkSetting::kDownlink, 0, link);
    return VLB_OK;
}

int vlb_network_disconnect(const char* user_id, int64_t duration_ms) {
    if (user_id == nullptr) return VLB_NULL;
    if (duration_ms <= 0) return VLB_INVALID;
    network::Disconnect(user_id, Now(), duration_ms);
    Share(user_id, NetworkSetting::kDisconnect, duration_ms);
    return VLB_OK;
}

int vlb_network_unresponsive(const char* user_id, int on) {
    if (user_id == nullptr) return VLB_NULL;
    network::SetUnresponsive(user_id, on != 0, Now());
    Share(user_id, NetworkSetting::kUnresponsive, on != 0 ? 1 : 0);
    return VLB_OK;
}

int vlb_network_timeout(int64_t timeout_ms) {
    if (timeout_ms <= 0) return VLB_INVALID;
    network::SetTimeout(timeout_ms);
    Share("", NetworkSetting::kTimeout, timeout_ms);
    return VLB_OK;
}

void vlb_network_seed(uint64_t seed) {
    network::SetSeed(seed);
    Share("", NetworkSetting::kSeed, static_cast<int64_t>(seed));
}

int vlb_network_forget(const char* user_id) {
    if (user_id == nullptr) return VLB_NULL;
    network::Forget(user_id);
    Share(user_id, NetworkSetting::kForget, 0);
    return VLB_OK;
}

int vlb_network_quality_of(const char* user_id) {
    if (user_id == nullptr) return VLB_NULL;
    return network::QualityOf(user_id, Now(), false);
}

}  // extern "C"
