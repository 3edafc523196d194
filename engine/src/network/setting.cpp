#include "network/setting.h"

#include <type_traits>
#include <utility>

namespace velmora {
namespace loopback {
namespace network {
namespace {

// Every key any kind may have stored for the user.
template <size_t... I>
std::vector<std::string> AllKeysOf(const std::string& user_id, std::index_sequence<I...>) {
    std::vector<std::string> keys;
    for (auto&& some : {std::variant_alternative_t<I, Setting>::KeysOf(user_id)...}) {
        keys.insert(keys.end(), some.begin(), some.end());
    }
    return keys;
}

}  // namespace

const char* NameOf(const Setting& setting) {
    return std::visit([](const auto& s) { return std::decay_t<decltype(s)>::kName; }, setting);
}

bool Shared(const Setting& setting) {
    return std::visit([](const auto& s) { return std::decay_t<decltype(s)>::kShared; }, setting);
}

std::vector<std::string> StoreKeys(const Setting& setting, bool* removes) {
    *removes = false;
    if (const auto* forget = std::get_if<setting::Forget>(&setting)) {
        *removes = true;
        return AllKeysOf(forget->user_id, std::make_index_sequence<std::variant_size<Setting>::value>());
    }
    const std::string key = std::visit([](const auto& s) { return s.Key(); }, setting);
    if (key.empty()) return {};
    return {key};
}

}  // namespace network
}  // namespace loopback
}  // namespace velmora
