// What the module keeps per interpreter: the callback names, the type records that callbacks
// copy into, and the live sessions that the module's exit hook closes.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "kwix/velmora_kwix_cloud.h"
#include "kwix/velmora_kwix_defines.h"

class KWIXCloudWrapper;

namespace velmora::binding {

// The Python names of the callbacks, in the delegate's slot order.
enum CallbackName : size_t {
    kOnError,
    kOnConnectionStateChanged,
    kOnEnterRoom,
    kOnExitRoom,
    kOnLocalAudioChannelCreated,
    kOnLocalAudioChannelDestroyed,
    kOnLocalVideoChannelCreated,
    kOnLocalVideoChannelDestroyed,
    kOnRequestChangeVideoEncodeBitrate,
    kOnRequestKeyFrame,
    kOnRemoteUserEnterRoom,
    kOnRemoteUserExitRoom,
    kOnRemoteAudioAvailable,
    kOnRemoteVideoAvailable,
    kOnRemoteVideoFrameReceived,
    kOnRemotePixelFrameReceived,
    kOnRemoteAudioReceived,
    kOnRemoteMixedAudioReceived,
    kOnSeiMessageReceived,
    kOnReceiveCustomCmdMsg,
    kOnMissCustomCmdMsg,
    kOnNetworkQuality,
    kCallbackNameCount
};

inline constexpr const char* kCallbackNames[kCallbackNameCount] = {
    "OnError",
    "OnConnectionStateChanged",
    "OnEnterRoom",
    "OnExitRoom",
    "OnLocalAudioChannelCreated",
    "OnLocalAudioChannelDestroyed",
    "OnLocalVideoChannelCreated",
    "OnLocalVideoChannelDestroyed",
    "OnRequestChangeVideoEncodeBitrate",
    "OnRequestKeyFrame",
    "OnRemoteUserEnterRoom",
    "OnRemoteUserExitRoom",
    "OnRemoteAudioAvailable",
    "OnRemoteVideoAvailable",
    "OnRemoteVideoFrameReceived",
    "OnRemotePixelFrameReceived",
    "OnRemoteAudioReceived",
    "OnRemoteMixedAudioReceived",
    "OnSeiMessageReceived",
    "OnReceiveCustomCmdMsg",
    "OnMissCustomCmdMsg",
    "OnNetworkQuality",
};

// The engine types that callbacks hand to Python as new objects.
using CopiedTypes = std::tuple<kwix::Error, kwix::ConnectionState, kwix::StreamType, kwix::UserInfo,
                               kwix::NetworkQualityInfo, kwix::AudioFrame, kwix::VideoFrame, kwix::PixelFrame>;

template <typename T, size_t I = 0>
constexpr size_t CopiedTypeIndex() {
    static_assert(I < std::tuple_size<CopiedTypes>::value, "not a type that callbacks copy");
    if constexpr (std::is_same<std::tuple_element_t<I, CopiedTypes>, T>::value) {
        return I;
    } else {
        return CopiedTypeIndex<T, I + 1>();
    }
}

// The module's own state: the callback names as interned strings (made once, so that a
// lookup hits the interpreter's attribute cache instead of building a new string each time),
// the delegate's type record, and the sessions that are alive, which one exit hook closes.
// It is made on first use and owned by a capsule in the interpreter's state dictionary, so
// it lives exactly as long as the interpreter and no C++ global holds Python objects.
class ModuleState {
public:
    // The interpreter lock must be held.
    static ModuleState& Get() { return *static_cast<ModuleState*>(Owner().get_pointer()); }

    // The capsule that owns the state: a session keeps it, so its state outlives it.
    static pybind11::capsule Owner();

    ModuleState(const ModuleState&) = delete;
    ModuleState& operator=(const ModuleState&) = delete;

    ~ModuleState();

    PyObject* Name(CallbackName name) const { return names_[name]; }
    const pybind11::detail::type_info* delegate_type() const { return delegate_type_; }
    template <typename T>
    const pybind11::detail::type_info* TypeOf() const {
        return copied_types_[CopiedTypeIndex<T>()];
    }

    // Live sessions. The first one registers the module's exit hook.
    void AddSession(KWIXCloudWrapper* session);
    void RemoveSession(KWIXCloudWrapper* session) { live_.erase(session); }
    // The exit hook: ends every live session's engine session while the interpreter is whole.
    void CloseLiveSessions();

private:
    ModuleState();

    template <size_t... I>
    void FindCopiedTypes(std::index_sequence<I...>) {
        ((copied_types_[I] = pybind11::detail::get_type_info(typeid(std::tuple_element_t<I, CopiedTypes>))), ...);
    }

    std::array<PyObject*, kCallbackNameCount> names_;
    const pybind11::detail::type_info* delegate_type_;
    // Found once: finding a type record by its C++ type hashes the type's name every time.
    std::array<const pybind11::detail::type_info*, std::tuple_size<CopiedTypes>::value> copied_types_{};
    // Each session with a serial number, so that a closing pass that released the lock does
    // not mistake a new session at a reused address for the one it saw before.
    std::unordered_map<KWIXCloudWrapper*, uint64_t> live_;
    uint64_t next_serial_ = 0;
    bool exit_hook_registered_ = false;
};

}  // namespace velmora::binding
