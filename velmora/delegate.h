// The trampoline: every engine callback becomes one synchronous call of the Python method of
// the same name, under the interpreter lock, from whatever thread the engine uses.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <tuple>

#include "kwix/velmora_kwix_cloud.h"
#include "kwix/velmora_kwix_defines.h"
#include "module_state.h"

namespace velmora::binding {

class PythonMethod;

// The Python frame object of the last callback of one frame type, when nothing kept it: its
// engine frame is destroyed at once, and the next frame of that type is copied into it (with
// the copy constructor, as into a new object). A frame costs a Python object made, registered
// and freed more than all the rest of a callback; a bot keeps few of the frames it receives.
// Used with the interpreter lock held.
template <typename Frame>
class SpareFrame {
public:
    SpareFrame() = default;
    SpareFrame(const SpareFrame&) = delete;
    SpareFrame& operator=(const SpareFrame&) = delete;
    ~SpareFrame();

    // The spare object holding a copy of `source`, or an empty object when there is none.
    pybind11::object Take(const Frame& source);
    // Keeps `frame`, handed to Python by the callback that just returned, as the spare when
    // nothing else refers to it, not even a weak reference, and there is no spare yet.
    void Keep(pybind11::object frame, const pybind11::detail::type_info* type);

private:
    PyObject* shell_ = nullptr;  // owned; its engine frame destroyed
};

}  // namespace velmora::binding

// Outside any namespace, as the session class: generated signatures name it by its C++ name,
// and that is the name users see.
class PyKWIXCloudDelegate : public velmora::kwix::KWIXCloudDelegate {
    using AudioFrame = velmora::kwix::AudioFrame;
    using ConnectionState = velmora::kwix::ConnectionState;
    using Error = velmora::kwix::Error;
    using NetworkQualityInfo = velmora::kwix::NetworkQualityInfo;
    using PixelFrame = velmora::kwix::PixelFrame;
    using StreamType = velmora::kwix::StreamType;
    using UserInfo = velmora::kwix::UserInfo;
    using VideoFrame = velmora::kwix::VideoFrame;
    using CallbackName = velmora::binding::CallbackName;
    using PythonMethod = velmora::binding::PythonMethod;

public:
    // Made by Python, with the interpreter lock held. The state outlives every delegate: the
    // interpreter's dictionary that owns it is cleared only after the last Python code ran.
    PyKWIXCloudDelegate();
    ~PyKWIXCloudDelegate() override;

    void OnError(Error error) override;
    void OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) override;
    void OnEnterRoom() override;
    void OnExitRoom() override;
    void OnLocalAudioChannelCreated() override;
    void OnLocalAudioChannelDestroyed() override;
    void OnLocalVideoChannelCreated(StreamType stream_type) override;
    void OnLocalVideoChannelDestroyed(StreamType stream_type) override;
    void OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) override;
    void OnRequestKeyFrame(StreamType stream_type) override;
    void OnRemoteUserEnterRoom(const UserInfo& info) override;
    void OnRemoteUserExitRoom(const UserInfo& info, int reason) override;
    void OnRemoteAudioAvailable(const char* user_id, bool available) override;
    void OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) override;
    void OnRemoteVideoReceived(const char* user_id, StreamType type, const VideoFrame& frame) override;
    void OnRemoteVideoReceived(const char* user_id, StreamType type, const PixelFrame& frame) override;
    void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) override;
    void OnRemoteMixedAudioReceived(const AudioFrame& frame) override;
    void OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type, const char* message,
                              size_t length) override;
    void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq, const char* message,
                               size_t length) override;
    void OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code, uint32_t missed) override;
    void OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                          size_t remote_quality_count) override;

    // The Python object that owns this trampoline, or an empty object when there is none.
    // The interpreter lock must be held.
    pybind11::object PythonSelf() const;

private:
    template <typename T>
    pybind11::object Copy(const T& value) const;
    template <typename T>
    pybind11::object NewRecord() const;
    PythonMethod Find(CallbackName callback) const;
    static PythonMethod Checked(pybind11::object attribute, pybind11::object unbound_self,
                                const pybind11::object& self, PyObject* name);
    template <typename Call>
    void Pure(CallbackName callback, Call&& call) const;
    template <typename Call>
    void Report(CallbackName callback, Call&& call) const;

    // A frame handed to Python: a copy in the spare object if there is one, else a new one.
    template <typename Frame>
    pybind11::object CopyFrame(const Frame& frame) const;
    template <typename Frame>
    void KeepSpare(pybind11::object frame) const;

    const velmora::binding::ModuleState* state_;
    // Changed by callbacks on any engine thread, always under the interpreter lock.
    mutable std::tuple<velmora::binding::SpareFrame<AudioFrame>, velmora::binding::SpareFrame<VideoFrame>,
                       velmora::binding::SpareFrame<PixelFrame>>
        spares_;
};
