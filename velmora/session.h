// The session: owns one engine session and forwards every call to it.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <unistd.h>

#include "delegate.h"
#include "kwix/velmora_kwix_cloud.h"
#include "kwix/velmora_kwix_defines.h"
#include "module_state.h"

// Outside any namespace, as the trampoline: generated signatures name it by its C++ name.
class KWIXCloudWrapper {
    using AudioEncodeParams = velmora::kwix::AudioEncodeParams;
    using AudioFrame = velmora::kwix::AudioFrame;
    using EnterRoomParams = velmora::kwix::EnterRoomParams;
    using KWIXCloud = velmora::kwix::KWIXCloud;
    using PixelFrame = velmora::kwix::PixelFrame;
    using StreamType = velmora::kwix::StreamType;
    using VADParams = velmora::kwix::VADParams;
    using VideoEncodeParams = velmora::kwix::VideoEncodeParams;
    using VideoFrame = velmora::kwix::VideoFrame;

public:
    explicit KWIXCloudWrapper(std::shared_ptr<PyKWIXCloudDelegate> delegate);
    ~KWIXCloudWrapper();

    KWIXCloudWrapper(const KWIXCloudWrapper&) = delete;
    KWIXCloudWrapper& operator=(const KWIXCloudWrapper&) = delete;
    KWIXCloudWrapper(KWIXCloudWrapper&&) = delete;
    KWIXCloudWrapper& operator=(KWIXCloudWrapper&&) = delete;

    int EnterRoom(const EnterRoomParams& params) { return Session().EnterRoom(params); }
    int ExitRoom() { return Session().ExitRoom(); }
    int Subscribe(const std::string& user_id, StreamType type) {
        return Session().Subscribe(UserId(user_id), type);
    }
    int Unsubscribe(const std::string& user_id, StreamType type) {
        return Session().Unsubscribe(UserId(user_id), type);
    }
    int GetAudioFrame(AudioFrame* frame) { return Session().GetAudioFrame(frame); }
    int CreateLocalAudioChannel(const AudioEncodeParams& params) { return Session().CreateLocalAudioChannel(params); }
    int DestroyLocalAudioChannel() { return Session().DestroyLocalAudioChannel(); }
    int SendAudioFrame(const AudioFrame& frame) { return Session().SendAudioFrame(frame); }
    int SendContinuousAudioFrame(const AudioFrame& frame, bool clear_send_queue) {
        return Session().SendContinuousAudioFrame(frame, clear_send_queue);
    }
    int CreateLocalVideoChannel(StreamType type) { return Session().CreateLocalVideoChannel(type); }
    int DestroyLocalVideoChannel(StreamType type) { return Session().DestroyLocalVideoChannel(type); }
    int SendVideoFrame(StreamType type, const VideoFrame& frame) { return Session().SendVideoFrame(type, frame); }
    int SendPixelFrame(StreamType type, const PixelFrame& frame) { return Session().SendVideoFrame(type, frame); }
    void SetVideoEncodeParam(StreamType type, const VideoEncodeParams& param) {
        Session().SetVideoEncodeParam(type, param);
    }
    int SendSeiMessage(int message_type, const pybind11::bytes& message);
    int SendCustomCmdMsg(int32_t cmd_id, const pybind11::bytes& message, bool reliable, bool ordered);
    void EnableVoiceActivityDetection(const VADParams& params) { Session().EnableVoiceActivityDetection(params); }

    // Ends the engine session; later calls raise. The interpreter lock is held on entry and
    // on return, and released meanwhile: the engine stops its threads here, and one of them
    // may be waiting for the lock to deliver a callback. Another thread may drop this session
    // meanwhile, so nothing of `this` is touched once the lock is released; the delegate, its
    // native and its Python object, is kept here until the engine session is gone.
    void Close() noexcept;

    // For the cycle collector: ends the engine session, then lets go of the delegate, so that
    // a delegate that holds its own session can be freed.
    void Clear() noexcept;

    // In a process forked from the one that made the session, the engine session's threads
    // are not there: at exit it is let go without asking the engine to stop them, so that a
    // child's exit never depends on how the engine copes with fork.
    bool Inherited() const { return creator_ != getpid(); }
    void LetGoAtExit() noexcept { kwix_cloud_ = nullptr; }

private:
    KWIXCloud& Session() const;

    // Hands the engine the bytes object's own buffer (no copy; zero bytes included). A
    // buffer that cannot be read is reported on stderr and answered with -1.
    template <typename Send>
    static int WithMessage(const pybind11::bytes& message, Send&& send);

    static const char* UserId(const std::string& user_id);

    KWIXCloud* kwix_cloud_;
    std::shared_ptr<PyKWIXCloudDelegate> delegate_;
    pybind11::capsule state_owner_;
    velmora::binding::ModuleState* state_;
    const pid_t creator_ = getpid();
};
