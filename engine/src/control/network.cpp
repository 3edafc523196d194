// Control API: the simulated network's settings (network/setting.h): faults per member and
// direction, drops, members that stop answering, the time-out, the seed of every draw,
// explicit qualities, the room-wide command loss and the report interval. Each goes through
// the network's one door, then, when it is shared, to every other process on the room bus
// (bus/hooks.h), which applies it there through the same door.
#include <string>

#include "bus/hooks.h"
#include "control/control.h"
#include "core/clock.h"
#include "network/network.h"
#include "network/setting.h"
#include "velmora_loopback.h"

namespace network = velmora::loopback::network;
namespace setting = velmora::loopback::network::setting;
using velmora::loopback::Clock;

namespace velmora {
namespace loopback {

int ApplyNetworkSetting(const network::Setting& setting) {
    if (!network::Apply(setting, Clock::Instance().NowMs())) return VLB_INVALID;
    if (network::Shared(setting)) bus::Share(setting);
    return VLB_OK;
}

}  // namespace loopback
}  // namespace velmora

using velmora::loopback::ApplyNetworkSetting;

static_assert(VLB_MAX_DELAY_MS == network::kMaxDelayMs && VLB_MAX_DROP_MS == network::kMaxDropMs &&
                  VLB_MAX_TIMEOUT_MS == network::kMaxTimeoutMs &&
                  VLB_MAX_REPORT_INTERVAL_MS == network::kMaxReportIntervalMs &&
                  VLB_MAX_BANDWIDTH_KBPS == network::kMaxBandwidthKbps && VLB_MAX_QUEUE_MS == network::kMaxQueueMs,
              "the control header states the network's ranges");

extern "C" {

int vlb_network_link(const char* user_id, int direction, int64_t latency_ms, int64_t jitter_ms, double audio_loss,
                     double video_loss, double command_loss, double reorder) {
    if (user_id == nullptr) return VLB_NULL;
    if (direction != VLB_UPLINK && direction != VLB_DOWNLINK && direction != VLB_BOTH_WAYS) return VLB_INVALID;
    network::Link faults;
    faults.latency_ms = latency_ms;
    faults.jitter_ms = jitter_ms;
    faults.audio_loss = audio_loss;
    faults.video_loss = video_loss;
    faults.command_loss = command_loss;
    faults.reorder = reorder;
    // Both ways change both or neither.
    if (!network::IsValid(faults)) return VLB_INVALID;
    int status = VLB_OK;
    if (direction != VLB_DOWNLINK) status = ApplyNetworkSetting(setting::Link{user_id, network::kUplink, faults});
    if (direction != VLB_UPLINK && status == VLB_OK) {
        status = ApplyNetworkSetting(setting::Link{user_id, network::kDownlink, faults});
    }
    return status;
}

int vlb_network_disconnect(const char* user_id, int64_t duration_ms) {
    if (user_id == nullptr) return VLB_NULL;
    return ApplyNetworkSetting(setting::Disconnect{user_id, duration_ms});
}

int vlb_network_unresponsive(const char* user_id, int on) {
    if (user_id == nullptr) return VLB_NULL;
    return ApplyNetworkSetting(setting::Unresponsive{user_id, on != 0});
}

int vlb_network_timeout(int64_t timeout_ms) { return ApplyNetworkSetting(setting::Timeout{timeout_ms}); }

void vlb_network_seed(uint64_t seed) { ApplyNetworkSetting(setting::Seed{seed}); }

int vlb_network_forget(const char* user_id) {
    if (user_id == nullptr) return VLB_NULL;
    return ApplyNetworkSetting(setting::Forget{user_id});
}

int vlb_set_network_quality(const char* user_id, int quality) {
    if (user_id == nullptr) return VLB_NULL;
    return ApplyNetworkSetting(setting::Quality{user_id, quality});
}

int vlb_set_custom_cmd_loss(double share) { return ApplyNetworkSetting(setting::CommandLoss{share}); }

int vlb_set_network_quality_interval(int interval_ms) {
    // Sessions read it on every clock tick.
    return ApplyNetworkSetting(setting::ReportInterval{interval_ms});
}

int vlb_network_bandwidth(const char* user_id, int direction, int64_t kbps) {
    if (user_id == nullptr) return VLB_NULL;
    if (direction != VLB_UPLINK && direction != VLB_DOWNLINK && direction != VLB_BOTH_WAYS) return VLB_INVALID;
    // Both ways change both or neither.
    if (kbps < 0 || kbps > network::kMaxBandwidthKbps) return VLB_INVALID;
    int status = VLB_OK;
    if (direction != VLB_DOWNLINK) status = ApplyNetworkSetting(setting::Bandwidth{user_id, network::kUplink, kbps});
    if (direction != VLB_UPLINK && status == VLB_OK) {
        status = ApplyNetworkSetting(setting::Bandwidth{user_id, network::kDownlink, kbps});
    }
    return status;
}

int vlb_network_quality_of(const char* user_id) {
    if (user_id == nullptr) return VLB_NULL;
    return network::QualityOf(user_id, Clock::Instance().NowMs(), false);
}

}  // extern "C"
