// What the settings functions (QVLiveSDK) received, for the control API.
#ifndef VELMORA_ENGINE_SETTINGS_SETTINGS_H
#define VELMORA_ENGINE_SETTINGS_SETTINGS_H

#include <cstdint>
#include <string>

namespace velmora {
namespace loopback {

// One argument of a logged settings call: a text (or a null text pointer) or an integer.
struct SettingsArgument {
    enum Kind { kNullText, kText, kInteger } kind;
    std::string text;
    int64_t integer;

    static SettingsArgument Text(const char* value) {
        return value ? SettingsArgument{kText, value, 0} : SettingsArgument{kNullText, std::string(), 0};
    }
    static SettingsArgument Integer(int64_t value) { return SettingsArgument{kInteger, std::string(), value}; }
};

// Calls of the QVLiveSDK function `function` since the last reset; -1 for an unknown name.
int SettingsCallCount(const char* function);
// Argument `index` of the last call of `function`; false when none was logged.
bool SettingsArgumentOf(const char* function, int index, SettingsArgument* argument);
// Forgets every logged call and restores the log's defaults.
void ResetSettings();

}  // namespace loopback
}  // namespace velmora

#endif  // VELMORA_ENGINE_SETTINGS_SETTINGS_H
