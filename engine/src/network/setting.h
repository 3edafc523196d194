// Network settings: every change a test or tool makes to the simulated network, described
// as a value and applied through one door, Apply. The control API (control/network.cpp,
// control/sessions.cpp) makes them; the room bus carries the shared ones to every other
// process, which applies them through the same door, and keeps the lasting ones for
// processes that connect later.
//
// Each setting is a struct with:
// - kName: its name in logs and in the keys of the bus's store;
// - kShared: made in one process, applied in every process on the bus;
// - Key(): the store's key of a lasting setting, which a later one of the same key replaces;
//   "" for one that is an event of its moment (a drop) or not shared;
// - KeysOf(user_id): every key the kind may have stored for that user, which forgetting the
//   user removes;
// - Fields(visitor): its fields in wire order, each one meaning; the bus's wire format
//   encodes every setting from this list alone.
// Adding a setting is: its struct here, an alternative of Setting, its case in Apply
// (network/setting.cpp); then a control function and an entry in the Python table
// (velmora/testing/network.py).
#ifndef VELMORA_ENGINE_NETWORK_SETTING_H
#define VELMORA_ENGINE_NETWORK_SETTING_H

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "network/network.h"

namespace velmora {
namespace loopback {
namespace network {
namespace setting {

// The faults of one direction of a user's link, replacing what was set there.
struct Link {
    static constexpr const char* kName = "link";
    static constexpr bool kShared = true;
    std::string user_id;
    int32_t direction = kUplink;  // kUplink or kDownlink
    network::Link faults;
    std::string Key() const { return std::string(kName) + ":" + std::to_string(direction) + ":" + user_id; }
    static std::vector<std::string> KeysOf(const std::string& user_id) {
        return {Link{user_id, kUplink, {}}.Key(), Link{user_id, kDownlink, {}}.Key()};
    }
    template <typename V>
    void Fields(V& v) {
        v(user_id);
        v(direction);
        v(faults.latency_ms);
        v(faults.jitter_ms);
        v(faults.audio_loss);
        v(faults.video_loss);
        v(faults.command_loss);
        v(faults.reorder);
    }
};

// The user's connection drops from the applying process's now for duration_ms.
struct Disconnect {
    static constexpr const char* kName = "disconnect";
    static constexpr bool kShared = true;
    std::string user_id;
    int64_t duration_ms = 0;
    std::string Key() const { return ""; }
    static std::vector<std::string> KeysOf(const std::string&) { return {}; }
    template <typename V>
    void Fields(V& v) {
        v(user_id);
        v(duration_ms);
    }
};

struct Unresponsive {
    static constexpr const char* kName = "unresponsive";
    static constexpr bool kShared = true;
    std::string user_id;
    bool on = true;
    std::string Key() const { return std::string(kName) + ":" + user_id; }
    static std::vector<std::string> KeysOf(const std::string& user_id) { return {Unresponsive{user_id, true}.Key()}; }
    template <typename V>
    void Fields(V& v) {
        v(user_id);
        v(on);
    }
};

struct Timeout {
    static constexpr const char* kName = "timeout";
    static constexpr bool kShared = true;
    int64_t timeout_ms = kDefaultTimeoutMs;
    std::string Key() const { return kName; }
    static std::vector<std::string> KeysOf(const std::string&) { return {}; }
    template <typename V>
    void Fields(V& v) {
        v(timeout_ms);
    }
};

struct Seed {
    static constexpr const char* kName = "seed";
    static constexpr bool kShared = true;
    uint64_t seed = 0;
    std::string Key() const { return kName; }
    static std::vector<std::string> KeysOf(const std::string&) { return {}; }
    template <typename V>
    void Fields(V& v) {
        v(seed);
    }
};

// Every setting of the user goes, its explicit quality too.
struct Forget {
    static constexpr const char* kName = "forget";
    static constexpr bool kShared = true;
    std::string user_id;
    std::string Key() const { return ""; }
    static std::vector<std::string> KeysOf(const std::string&) { return {}; }
    template <typename V>
    void Fields(V& v) {
        v(user_id);
    }
};

// The network quality reported for the user, whatever its links give.
struct Quality {
    static constexpr const char* kName = "quality";
    static constexpr bool kShared = true;
    std::string user_id;
    int32_t quality = 0;  // a kwix::NetworkQuality
    std::string Key() const { return std::string(kName) + ":" + user_id; }
    static std::vector<std::string> KeysOf(const std::string& user_id) { return {Quality{user_id, 0}.Key()}; }
    template <typename V>
    void Fields(V& v) {
        v(user_id);
        v(quality);
    }
};

// Share of every unreliable custom command lost on the way, on top of each link's own.
// The process's own, like the report interval: not shared.
struct CommandLoss {
    static constexpr const char* kName = "command_loss";
    static constexpr bool kShared = false;
    double share = 0.0;
    std::string Key() const { return ""; }
    static std::vector<std::string> KeysOf(const std::string&) { return {}; }
    template <typename V>
    void Fields(V& v) {
        v(share);
    }
};

// Interval of the sessions' network quality reports.
struct ReportInterval {
    static constexpr const char* kName = "report_interval";
    static constexpr bool kShared = false;
    int64_t interval_ms = kDefaultReportIntervalMs;
    std::string Key() const { return ""; }
    static std::vector<std::string> KeysOf(const std::string&) { return {}; }
    template <typename V>
    void Fields(V& v) {
        v(interval_ms);
    }
};

// A cap on what one direction of a user's link carries, in kbit/s; 0 removes it.
struct Bandwidth {
    static constexpr const char* kName = "bandwidth";
    static constexpr bool kShared = true;
    std::string user_id;
    int32_t direction = kUplink;  // kUplink or kDownlink
    int64_t kbps = 0;
    std::string Key() const { return std::string(kName) + ":" + std::to_string(direction) + ":" + user_id; }
    static std::vector<std::string> KeysOf(const std::string& user_id) {
        return {Bandwidth{user_id, kUplink, 0}.Key(), Bandwidth{user_id, kDownlink, 0}.Key()};
    }
    template <typename V>
    void Fields(V& v) {
        v(user_id);
        v(direction);
        v(kbps);
    }
};

}  // namespace setting

// New kinds go at the end: the room bus names a kind by its index here.
using Setting = std::variant<setting::Link, setting::Disconnect, setting::Unresponsive, setting::Timeout,
                             setting::Seed, setting::Forget, setting::Quality, setting::CommandLoss,
                             setting::ReportInterval, setting::Bandwidth>;

// The one door: false when a value is out of its range (see network/network.h for each
// range); nothing changes then. Times count from now_ms on the engine clock.
bool Apply(const Setting& setting, int64_t now_ms);

const char* NameOf(const Setting& setting);
bool Shared(const Setting& setting);
// The keys of the bus's store a shared setting replaces (one) or, forgetting a user, removes
// (all the user's); none for an event of its moment.
std::vector<std::string> StoreKeys(const Setting& setting, bool* removes);

}  // namespace network
}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_NETWORK_SETTING_H
