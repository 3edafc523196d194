// _velmora: the Python face of the Velmora engine.
//
// The module does no media or network work. It exposes the engine's enumerations, records
// and frames as Python classes, converts values between Python and the engine, forwards
// session calls into the engine and carries the engine's callbacks, which arrive on engine
// threads, into Python methods under the interpreter lock. It compiles against the engine
// headers in include/ only, so any engine library that honours them can sit beside it.
#include <pybind11/pybind11.h>

#include <cstring>
#include <cxxabi.h>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "kwix/velmora_kwix_cloud.h"
#include "kwix/velmora_kwix_defines.h"
#include "velmora_premier.h"

namespace py = pybind11;
using namespace velmora::kwix;
using velmora::live::QVLiveSDK;

namespace {

// A text on its way to the engine as a C string: None is a null pointer, a str its UTF-8
// encoding, a bytes or bytearray its own bytes. The caster keeps the Python object alive for
// the call, so `data` stays valid until the engine function returns.
struct Text {
    const char* data = nullptr;
    size_t size = 0;

    // The engine reads a C string up to its first NUL, so a text with a NUL inside would
    // reach it cut short and the engine would act on another text than the caller gave.
    const char* c_str(const char* argument) const {
        if (data != nullptr && std::memchr(data, '\0', size) != nullptr) {
            throw py::value_error(std::string("embedded null character in ") + argument);
        }
        return data;
    }
};

// Text from the engine: None for a null pointer, else strict UTF-8.
py::object TextToPython(const char* text) {
    if (text == nullptr) return py::none();
    PyObject* s = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "strict");
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

}  // namespace

namespace pybind11 {
namespace detail {

template <>
struct type_caster<Text> {
    // Shown as `str` in generated signatures: it takes what a str parameter takes, plus None.
    PYBIND11_TYPE_CASTER(Text, const_name("str"));

    bool load(handle src, bool /*convert*/) {
        PyObject* obj = src.ptr();
        if (src.is_none()) {
            value = Text{};
            return true;
        }
        if (PyUnicode_Check(obj)) {
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
            if (data == nullptr) {
                PyErr_Clear();  // not encodable (lone surrogates): not a usable text
                return false;
            }
            value = Text{data, static_cast<size_t>(size)};
            return true;
        }
        if (PyBytes_Check(obj)) {
            value = Text{PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj))};
            return true;
        }
        if (PyByteArray_Check(obj)) {
            value = Text{PyByteArray_AS_STRING(obj), static_cast<size_t>(PyByteArray_GET_SIZE(obj))};
            return true;
        }
        return false;
    }

    static handle cast(const Text& text, return_value_policy, handle) {
        return TextToPython(text.data).release();
    }
};

}  // namespace detail
}  // namespace pybind11

namespace {

// ---------------------------------------------------------------------------------------
// Frames: payloads cross the boundary as bytes, with exactly one copy each way.

template <typename Frame>
py::bytes GetFrameData(const Frame& frame) {
    if (frame.size() == 0) return py::bytes();  // data() may be null for an empty payload
    return py::bytes(reinterpret_cast<const char*>(frame.data()), frame.size());
}

template <typename Frame>
size_t GetFrameSize(const Frame& frame) {
    return frame.size();
}

template <typename Frame, void (Frame::*Setter)(const uint8_t*, size_t)>
void SetFrameData(Frame& frame, const py::bytes& data) {
    char* buffer = nullptr;
    Py_ssize_t length = 0;
    // The bytes object's own buffer: non-null even when empty, zero bytes included.
    if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &length) == -1) throw py::error_already_set();
    (frame.*Setter)(reinterpret_cast<const uint8_t*>(buffer), static_cast<size_t>(length));
}

// An enumeration field read as a new member holding the current value. A plain
// def_readwrite would hand out a view of the field, so a value read earlier would change
// when the field is set later.
template <typename Class, typename Enum, typename... Options>
void DefEnumField(py::class_<Class, Options...>& cls, const char* name, Enum Class::*field) {
    cls.def_property(
        name, [field](const Class& self) { return self.*field; },
        [field](Class& self, Enum value) { self.*field = value; });
}

// Every argument handed to a Python callback is a new object owned by Python: records and
// frames through their copy constructors, enumerations as new members.
template <typename T>
py::object Copy(const T& value) {
    return py::cast(value, py::return_value_policy::copy);
}

}  // namespace

// The trampoline and the session class live outside the anonymous namespace: generated
// signatures name them by their C++ names, and these are the names users see.

// ---------------------------------------------------------------------------------------
// The trampoline: every engine callback becomes one synchronous call of the Python method of
// the same name, under the interpreter lock, from whatever thread the engine uses.

class PyKWIXCloudDelegate : public KWIXCloudDelegate {
public:
    PyKWIXCloudDelegate() = default;
    ~PyKWIXCloudDelegate() override = default;

    void OnError(Error error) override {
        Pure("OnError", [&](const py::function& f) { f(Copy(error)); });
    }
    void OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) override {
        Pure("OnConnectionStateChanged", [&](const py::function& f) { f(Copy(old_state), Copy(new_state)); });
    }
    void OnEnterRoom() override {
        Pure("OnEnterRoom", [](const py::function& f) { f(); });
    }
    void OnExitRoom() override {
        Pure("OnExitRoom", [](const py::function& f) { f(); });
    }
    void OnLocalAudioChannelCreated() override {
        Pure("OnLocalAudioChannelCreated", [](const py::function& f) { f(); });
    }
    void OnLocalAudioChannelDestroyed() override {
        Pure("OnLocalAudioChannelDestroyed", [](const py::function& f) { f(); });
    }
    void OnLocalVideoChannelCreated(StreamType stream_type) override {
        Pure("OnLocalVideoChannelCreated", [&](const py::function& f) { f(Copy(stream_type)); });
    }
    void OnLocalVideoChannelDestroyed(StreamType stream_type) override {
        Pure("OnLocalVideoChannelDestroyed", [&](const py::function& f) { f(Copy(stream_type)); });
    }
    void OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) override {
        Pure("OnRequestChangeVideoEncodeBitrate", [&](const py::function& f) { f(Copy(stream_type), bitrate_bps); });
    }
    void OnRequestKeyFrame(StreamType stream_type) override {
        Pure("OnRequestKeyFrame", [&](const py::function& f) { f(Copy(stream_type)); });
    }
    void OnRemoteUserEnterRoom(const UserInfo& info) override {
        Pure("OnRemoteUserEnterRoom", [&](const py::function& f) { f(Copy(info)); });
    }
    void OnRemoteUserExitRoom(const UserInfo& info, int reason) override {
        Pure("OnRemoteUserExitRoom", [&](const py::function& f) { f(Copy(info), reason); });
    }
    void OnRemoteAudioAvailable(const char* user_id, bool available) override {
        Pure("OnRemoteAudioAvailable", [&](const py::function& f) { f(TextToPython(user_id), available); });
    }
    void OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) override {
        Pure("OnRemoteVideoAvailable",
             [&](const py::function& f) { f(TextToPython(user_id), available, Copy(type)); });
    }
    void OnRemoteVideoReceived(const char* user_id, StreamType type, const VideoFrame& frame) override {
        Pure("OnRemoteVideoFrameReceived",
             [&](const py::function& f) { f(TextToPython(user_id), Copy(type), Copy(frame)); });
    }
    void OnRemoteVideoReceived(const char* user_id, StreamType type, const PixelFrame& frame) override {
        Pure("OnRemotePixelFrameReceived",
             [&](const py::function& f) { f(TextToPython(user_id), Copy(type), Copy(frame)); });
    }
    void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) override {
        Pure("OnRemoteAudioReceived", [&](const py::function& f) { f(TextToPython(user_id), Copy(frame)); });
    }
    void OnRemoteMixedAudioReceived(const AudioFrame& frame) override {
        Pure("OnRemoteMixedAudioReceived", [&](const py::function& f) { f(Copy(frame)); });
    }
    void OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type, const char* message,
                              size_t length) override {
        Report("OnSeiMessageReceived", [&](const py::function& f) {
            py::bytes payload(message, length);
            f(TextToPython(user_id), Copy(stream_type), message_type, payload);
        });
    }
    void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq, const char* message,
                               size_t length) override {
        Report("OnReceiveCustomCmdMsg", [&](const py::function& f) {
            py::bytes payload(message, length);
            f(TextToPython(user_id), cmd_id, seq, payload);
        });
    }
    void OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code, uint32_t missed) override {
        py::gil_scoped_acquire gil;
        if (py::function f = Override("OnMissCustomCmdMsg")) f(TextToPython(user_id), cmd_id, error_code, missed);
    }
    void OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                          size_t remote_quality_count) override {
        Report("OnNetworkQuality", [&](const py::function& f) {
            py::object local = local_quality ? Copy(*local_quality) : py::cast(NetworkQualityInfo());
            py::list remote;
            for (size_t i = 0; i < remote_quality_count; ++i) remote.append(Copy(remote_qualities[i]));
            f(local, remote);
        });
    }

private:
    py::function Override(const char* name) const {
        return py::get_override(static_cast<const KWIXCloudDelegate*>(this), name);
    }

    // A callback the Python class must define. Without a Python method the call fails with
    // the pure-virtual error, thrown after the interpreter lock is released: raising through
    // the binding library would assert on Python's error state, which a thread that no longer
    // holds the lock must not read.
    template <typename Call>
    void Pure(const char* name, Call&& call) const {
        {
            py::gil_scoped_acquire gil;
            if (py::function f = Override(name)) {
                call(f);
                return;
            }
        }
        throw std::runtime_error(std::string("Tried to call pure virtual function \"KWIXCloudDelegate::") + name +
                                 "\"");
    }

    // A callback whose failures are reported on stderr and never leave it.
    template <typename Call>
    void Report(const char* name, Call&& call) const {
        py::gil_scoped_acquire gil;
        try {
            if (py::function f = Override(name)) call(f);
        } catch (py::error_already_set& e) {
            std::cerr << "python callback " << name << " error: " << e.what() << std::endl;
            PyErr_Clear();
        } catch (abi::__forced_unwind&) {
            throw;  // the thread is being ended; it must unwind
        } catch (...) {
            std::cerr << "unknown error" << std::endl;
        }
    }
};

// ---------------------------------------------------------------------------------------
// The session: owns one engine session and forwards every call to it.

class KWIXCloudWrapper {
public:
    explicit KWIXCloudWrapper(std::shared_ptr<PyKWIXCloudDelegate> delegate)
        : kwix_cloud_(nullptr), delegate_(std::move(delegate)) {
        kwix_cloud_ = KWIXCloud::Create(delegate_.get());
        if (kwix_cloud_ == nullptr) {
            throw std::runtime_error("the engine could not create a session (KWIXCloud::Create returned null)");
        }
        // Engine threads that are running a Python callback when the interpreter starts to
        // shut down would be ended in the middle of it, with Python objects on their stacks.
        // So the engine session ends before that, while the interpreter is still whole.
        try {
            exit_hook_ = py::cpp_function([this]() { Close(); });
            py::module_::import("atexit").attr("register")(exit_hook_);
        } catch (...) {
            Close();
            throw;
        }
    }

    ~KWIXCloudWrapper() {
        Close();
        delegate_.reset();
        try {
            py::module_::import("atexit").attr("unregister")(exit_hook_);
        } catch (py::error_already_set&) {
            // The interpreter is being finalized and the exit hooks have already run.
        }
    }

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
    int SendSeiMessage(int message_type, const py::bytes& message) {
        KWIXCloud& session = Session();
        return WithMessage(message, [&](const char* buffer, size_t length) {
            return session.SendSeiMessage(message_type, buffer, length);
        });
    }
    int SendCustomCmdMsg(int32_t cmd_id, const py::bytes& message, bool reliable, bool ordered) {
        KWIXCloud& session = Session();
        return WithMessage(message, [&](const char* buffer, size_t length) {
            // The engine's id is unsigned: a negative id keeps its bit pattern.
            return session.SendCustomCmdMsg(static_cast<uint32_t>(cmd_id), buffer, length, reliable, ordered) ? 1
                                                                                                             : 0;
        });
    }
    void EnableVoiceActivityDetection(const VADParams& params) { Session().EnableVoiceActivityDetection(params); }

private:
    KWIXCloud& Session() const {
        if (kwix_cloud_ == nullptr) {
            throw std::runtime_error("the session is closed: the interpreter is shutting down");
        }
        return *kwix_cloud_;
    }

    // Hands the engine the bytes object's own buffer (no copy; zero bytes included). A
    // buffer that cannot be read is reported on stderr and answered with -1.
    template <typename Send>
    static int WithMessage(const py::bytes& message, Send&& send) {
        char* buffer = nullptr;
        Py_ssize_t buffer_len = 0;
        if (PyBytes_AsStringAndSize(message.ptr(), &buffer, &buffer_len) == -1) {
            PyErr_Print();
            return -1;
        }
        return send(buffer, static_cast<size_t>(buffer_len));
    }

    static const char* UserId(const std::string& user_id) {
        if (user_id.find('\0') != std::string::npos) throw py::value_error("embedded null character in user_id");
        return user_id.c_str();
    }

    // Ends the engine session. The interpreter lock is released meanwhile: the engine stops
    // its threads here, and one of them may be waiting for the lock to deliver a callback.
    void Close() {
        if (kwix_cloud_ == nullptr) return;
        KWIXCloud* cloud = kwix_cloud_;
        kwix_cloud_ = nullptr;
        py::gil_scoped_release release;
        KWIXCloud::Destroy(cloud);
    }

    KWIXCloud* kwix_cloud_;
    std::shared_ptr<PyKWIXCloudDelegate> delegate_;
    py::object exit_hook_;
};

namespace {

// The Python-side methods of the delegate hand their arguments to the slots one to one, so
// a length or count beyond what was given would make the slot read past the buffer.
void CheckLength(const Text& message, size_t length) {
    if (length > message.size) {
        throw py::value_error("length " + std::to_string(length) + " exceeds the " + std::to_string(message.size) +
                              " bytes of the message given");
    }
}

// ---------------------------------------------------------------------------------------
// Registration, in the module's fixed order.

void RegisterSession(py::module_& m) {
    py::class_<KWIXCloudWrapper>(m, "KWIXCloud")
        .def(py::init<std::shared_ptr<PyKWIXCloudDelegate>>(), py::keep_alive<1, 2>())
        .def("EnterRoom", &KWIXCloudWrapper::EnterRoom, py::arg("params"))
        .def("ExitRoom", &KWIXCloudWrapper::ExitRoom)
        .def("Subscribe", &KWIXCloudWrapper::Subscribe, py::arg("user_id"), py::arg("type"))
        .def("Unsubscribe", &KWIXCloudWrapper::Unsubscribe, py::arg("user_id"), py::arg("type"))
        .def("GetAudioFrame", &KWIXCloudWrapper::GetAudioFrame, py::arg("frame"))
        .def("CreateLocalAudioChannel", &KWIXCloudWrapper::CreateLocalAudioChannel, py::arg("params"))
        .def("DestroyLocalAudioChannel", &KWIXCloudWrapper::DestroyLocalAudioChannel)
        .def("SendAudioFrame", &KWIXCloudWrapper::SendAudioFrame, py::arg("frame"))
        .def("SendContinuousAudioFrame", &KWIXCloudWrapper::SendContinuousAudioFrame, py::arg("frame"),
             py::arg("clear_send_queue"))
        .def("CreateLocalVideoChannel", &KWIXCloudWrapper::CreateLocalVideoChannel, py::arg("type"))
        .def("DestroyLocalVideoChannel", &KWIXCloudWrapper::DestroyLocalVideoChannel, py::arg("type"))
        .def("SendVideoFrame", &KWIXCloudWrapper::SendVideoFrame, py::arg("type"), py::arg("frame"))
        .def("SendPixelFrame", &KWIXCloudWrapper::SendPixelFrame, py::arg("type"), py::arg("frame"))
        .def("SetVideoEncodeParam", &KWIXCloudWrapper::SetVideoEncodeParam, py::arg("type"), py::arg("param"))
        .def("SendSeiMessage", &KWIXCloudWrapper::SendSeiMessage, py::arg("message_type"), py::arg("message"))
        .def("SendCustomCmdMsg", &KWIXCloudWrapper::SendCustomCmdMsg, py::arg("cmd_id"), py::arg("message"),
             py::arg("reliable"), py::arg("ordered"))
        .def("EnableVoiceActivityDetection", &KWIXCloudWrapper::EnableVoiceActivityDetection, py::arg("params"));
}

void RegisterDelegate(py::module_& m) {
    using D = KWIXCloudDelegate;
    using VideoSlot = void (D::*)(const char*, StreamType, const VideoFrame&);
    using PixelSlot = void (D::*)(const char*, StreamType, const PixelFrame&);
    py::class_<D, PyKWIXCloudDelegate, std::shared_ptr<D>>(m, "KWIXCloudDelegate")
        .def(py::init<>())
        .def("OnError", &D::OnError)
        .def("OnConnectionStateChanged", &D::OnConnectionStateChanged)
        .def("OnEnterRoom", &D::OnEnterRoom)
        .def("OnExitRoom", &D::OnExitRoom)
        .def("OnLocalAudioChannelCreated", &D::OnLocalAudioChannelCreated)
        .def("OnLocalAudioChannelDestroyed", &D::OnLocalAudioChannelDestroyed)
        .def("OnLocalVideoChannelCreated", &D::OnLocalVideoChannelCreated)
        .def("OnLocalVideoChannelDestroyed", &D::OnLocalVideoChannelDestroyed)
        .def("OnRemoteUserEnterRoom", &D::OnRemoteUserEnterRoom)
        .def("OnRemoteUserExitRoom", &D::OnRemoteUserExitRoom)
        .def("OnRemoteAudioAvailable",
             [](D& self, const Text& user_id, bool available) {
                 self.OnRemoteAudioAvailable(user_id.c_str("user_id"), available);
             })
        .def("OnRemoteVideoAvailable",
             [](D& self, const Text& user_id, bool available, StreamType type) {
                 self.OnRemoteVideoAvailable(user_id.c_str("user_id"), available, type);
             })
        .def("OnRemoteAudioReceived",
             [](D& self, const Text& user_id, const AudioFrame& frame) {
                 self.OnRemoteAudioReceived(user_id.c_str("user_id"), frame);
             })
        .def("OnRemoteMixedAudioReceived", &D::OnRemoteMixedAudioReceived)
        .def("OnRemoteVideoFrameReceived",
             [](D& self, const Text& user_id, StreamType type, const VideoFrame& frame) {
                 (self.*static_cast<VideoSlot>(&D::OnRemoteVideoReceived))(user_id.c_str("user_id"), type, frame);
             })
        .def("OnRemotePixelFrameReceived",
             [](D& self, const Text& user_id, StreamType type, const PixelFrame& frame) {
                 (self.*static_cast<PixelSlot>(&D::OnRemoteVideoReceived))(user_id.c_str("user_id"), type, frame);
             })
        .def("OnRequestKeyFrame", &D::OnRequestKeyFrame)
        .def("OnRequestChangeVideoEncodeBitrate", &D::OnRequestChangeVideoEncodeBitrate)
        .def("OnSeiMessageReceived",
             [](D& self, const Text& user_id, StreamType stream_type, int message_type, const Text& message,
                size_t length) {
                 CheckLength(message, length);
                 self.OnSeiMessageReceived(user_id.c_str("user_id"), stream_type, message_type, message.data, length);
             })
        .def("OnReceiveCustomCmdMsg",
             [](D& self, const Text& user_id, int32_t cmd_id, uint32_t seq, const Text& message, size_t length) {
                 CheckLength(message, length);
                 self.OnReceiveCustomCmdMsg(user_id.c_str("user_id"), cmd_id, seq, message.data, length);
             })
        .def("OnMissCustomCmdMsg",
             [](D& self, const Text& user_id, int32_t cmd_id, uint32_t error_code, uint32_t missed) {
                 self.OnMissCustomCmdMsg(user_id.c_str("user_id"), cmd_id, error_code, missed);
             })
        .def("OnNetworkQuality", [](D& self, NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                                    size_t remote_quality_count) {
            const size_t given = remote_qualities ? 1 : 0;
            if (remote_quality_count > given) {
                throw py::value_error("remote_quality_count " + std::to_string(remote_quality_count) +
                                      " exceeds the " + std::to_string(given) + " records given");
            }
            self.OnNetworkQuality(local_quality, remote_qualities, remote_quality_count);
        });
}

// The value text as an owned string, refusing a null value with the message the standard
// library gives for it, so the error reads the same whatever the library version.
std::string OwnedValue(const KwixString& s) {
    const char* value = s.GetValue();
    if (value == nullptr) throw std::runtime_error("basic_string: construction from null is not valid");
    return value;
}

void RegisterKwixString(py::module_& m) {
    py::class_<KwixString>(m, "KwixString")
        .def(py::init<>())
        .def(py::init([](const Text& value) { return new KwixString(value.c_str("value")); }))
        .def("GetValue", [](const KwixString& self) { return Text{self.GetValue()}; })
        .def("SetValue", [](KwixString& self, const Text& value) { self.SetValue(value.c_str("value")); })
        .def("__str__", [](const KwixString& self) { return OwnedValue(self); })
        .def("__repr__", [](const KwixString& self) { return "KwixString(" + OwnedValue(self) + ")"; });
}

void RegisterRecords(py::module_& m) {
    py::class_<RoomParams>(m, "RoomParams")
        .def(py::init<>())
        .def_readwrite("room_id", &RoomParams::room_id)
        .def_readwrite("str_room_id", &RoomParams::str_room_id)
        .def_readwrite("user_id", &RoomParams::user_id)
        .def_readwrite("user_sig", &RoomParams::user_sig)
        .def_readwrite("sdk_app_id", &RoomParams::sdk_app_id);

    py::class_<EnterRoomParams> enter_room(m, "EnterRoomParams");
    enter_room.def(py::init<>()).def_readwrite("room", &EnterRoomParams::room);
    DefEnumField(enter_room, "scene", &EnterRoomParams::scene);
    DefEnumField(enter_room, "role", &EnterRoomParams::role);
    enter_room.def_readwrite("private_map_key", &EnterRoomParams::private_map_key)
        .def_readwrite("audio_obtain_params", &EnterRoomParams::audio_obtain_params)
        .def_readwrite("use_pixel_frame_input", &EnterRoomParams::use_pixel_frame_input)
        .def_readwrite("use_pixel_frame_output", &EnterRoomParams::use_pixel_frame_output);

    py::class_<AudioEncodeParams>(m, "AudioEncodeParams")
        .def(py::init<>())
        .def_readwrite("channels", &AudioEncodeParams::channels)
        .def_readwrite("sample_rate", &AudioEncodeParams::sample_rate)
        .def_readwrite("frame_length_ms", &AudioEncodeParams::frame_length_ms)
        .def_readwrite("bitrate_bps", &AudioEncodeParams::bitrate_bps)
        .def_readwrite("need_encode", &AudioEncodeParams::need_encode);

    py::class_<VideoEncodeParams>(m, "VideoEncodeParams")
        .def(py::init<>())
        .def_readwrite("frame_rate", &VideoEncodeParams::frame_rate)
        .def_readwrite("bitrate_bps", &VideoEncodeParams::bitrate_bps)
        .def_readwrite("gop_in_seconds", &VideoEncodeParams::gop_in_seconds);

    py::class_<NetworkQualityInfo> quality(m, "NetworkQualityInfo");
    quality.def(py::init<>()).def_readwrite("user_id", &NetworkQualityInfo::user_id);
    DefEnumField(quality, "quality", &NetworkQualityInfo::quality);

    py::class_<UserInfo>(m, "UserInfo").def(py::init<>()).def_readwrite("user_id", &UserInfo::user_id);

    py::class_<AudioObtainParams> obtain(m, "AudioObtainParams");
    obtain.def(py::init<>());
    DefEnumField(obtain, "audio_obtain_method", &AudioObtainParams::audio_obtain_method);
    obtain.def_readwrite("enable_remote_audio_mix", &AudioObtainParams::enable_remote_audio_mix)
        .def_readwrite("output_sample_rate", &AudioObtainParams::output_sample_rate)
        .def_readwrite("output_channels", &AudioObtainParams::output_channels)
        .def_readwrite("output_frame_length_ms", &AudioObtainParams::output_frame_length_ms);
    DefEnumField(obtain, "output_audio_codec_type", &AudioObtainParams::output_audio_codec_type);

    py::class_<VADParams>(m, "VADParams").def(py::init<>()).def_readwrite("enable", &VADParams::enable);
}

void RegisterFrames(py::module_& m) {
    py::class_<AudioFrame> audio(m, "AudioFrame");
    audio.def(py::init<>())
        .def_readwrite("pts", &AudioFrame::pts)
        .def_readwrite("sample_rate", &AudioFrame::sample_rate)
        .def_readwrite("channels", &AudioFrame::channels)
        .def_readwrite("bits_per_sample", &AudioFrame::bits_per_sample);
    DefEnumField(audio, "codec", &AudioFrame::codec);
    audio.def_readwrite("has_voice", &AudioFrame::has_voice)
        .def_property_readonly("data", &GetFrameData<AudioFrame>)
        .def("SetData", &SetFrameData<AudioFrame, &AudioFrame::SetData>)
        .def_property_readonly("size", &GetFrameSize<AudioFrame>)
        .def("SetExtraData", &SetFrameData<AudioFrame, &AudioFrame::SetExtraData>);

    py::class_<VideoFrame> video(m, "VideoFrame");
    video.def(py::init<>()).def_readwrite("pts", &VideoFrame::pts).def_readwrite("dts", &VideoFrame::dts);
    DefEnumField(video, "codec", &VideoFrame::codec);
    video.def_readwrite("is_key_frame", &VideoFrame::is_key_frame);
    DefEnumField(video, "rotation", &VideoFrame::rotation);
    video.def_property_readonly("data", &GetFrameData<VideoFrame>)
        .def("SetData", &SetFrameData<VideoFrame, &VideoFrame::SetData>)
        .def_property_readonly("size", &GetFrameSize<VideoFrame>);

    py::class_<PixelFrame> pixel(m, "PixelFrame");
    pixel.def(py::init<>()).def_readwrite("pts", &PixelFrame::pts);
    DefEnumField(pixel, "format", &PixelFrame::format);
    pixel.def_readwrite("height", &PixelFrame::height).def_readwrite("width", &PixelFrame::width);
    DefEnumField(pixel, "rotation", &PixelFrame::rotation);
    pixel.def_property_readonly("data", &GetFrameData<PixelFrame>)
        .def("SetData", &SetFrameData<PixelFrame, &PixelFrame::SetData>)
        .def_property_readonly("size", &GetFrameSize<PixelFrame>);
}

void RegisterEnumerations(py::module_& m) {
    py::enum_<Error>(m, "Error")
        .value("ERR_OK", ERR_OK)
        .value("ERR_FAILED", ERR_FAILED)
        .value("ERR_INVALID_PARAMETER", ERR_INVALID_PARAMETER)
        .value("ERR_INVALID_OPERATION", ERR_INVALID_OPERATION)
        .value("ERR_NOT_SUPPORTED", ERR_NOT_SUPPORTED)
        .value("ERR_REQUEST_SERVER_TIMEOUT", ERR_REQUEST_SERVER_TIMEOUT)
        .value("ERR_SERVER_PROCESS_FAILED", ERR_SERVER_PROCESS_FAILED)
        .value("ERR_READ_TRY_AGAIN", ERR_READ_TRY_AGAIN)
        .value("ERR_NETWORK_UNREACHABLE", ERR_NETWORK_UNREACHABLE)
        .value("ERR_ENTER_ROOM_FAILED", ERR_ENTER_ROOM_FAILED)
        .value("ERR_INVALID_SDK_APP_ID", ERR_INVALID_SDK_APP_ID)
        .value("ERR_INVALID_ROOM_ID", ERR_INVALID_ROOM_ID)
        .value("ERR_INVALID_USER_ID", ERR_INVALID_USER_ID)
        .value("ERR_INVALID_USER_SIG", ERR_INVALID_USER_SIG)
        .value("ERR_SERVICE_SUSPENDED", ERR_SERVICE_SUSPENDED)
        .value("ERR_BANNED_BY_SERVER", ERR_BANNED_BY_SERVER)
        .export_values();

    py::enum_<VideoCodecType>(m, "VideoCodecType")
        .value("VIDEO_CODEC_TYPE_H264", VIDEO_CODEC_TYPE_H264)
        .value("VIDEO_CODEC_TYPE_H265", VIDEO_CODEC_TYPE_H265)
        .export_values();

    py::enum_<AudioCodecType>(m, "AudioCodecType")
        .value("AUDIO_CODEC_TYPE_PCM", AUDIO_CODEC_TYPE_PCM)
        .value("AUDIO_CODEC_TYPE_OPUS", AUDIO_CODEC_TYPE_OPUS)
        .value("AUDIO_CODEC_TYPE_AAC", AUDIO_CODEC_TYPE_AAC)
        .export_values();

    py::enum_<KWIXRole>(m, "KWIXRole")
        .value("KWIX_ROLE_ANCHOR", KWIX_ROLE_ANCHOR)
        .value("KWIX_ROLE_AUDIENCE", KWIX_ROLE_AUDIENCE)
        .export_values();

    py::enum_<KWIXScene>(m, "KWIXScene")
        .value("KWIX_SCENE_VIDEO_CALL", KWIX_SCENE_VIDEO_CALL)
        .value("KWIX_SCENE_AUDIO_CALL", KWIX_SCENE_AUDIO_CALL)
        .value("KWIX_SCENE_LIVE", KWIX_SCENE_LIVE)
        .value("KWIX_SCENE_VOICE_CHAT", KWIX_SCENE_VOICE_CHAT)
        .value("KWIX_SCENE_RECORD", KWIX_SCENE_RECORD)
        .export_values();

    py::enum_<StreamType>(m, "StreamType")
        .value("STREAM_TYPE_UNKNOWN", STREAM_TYPE_UNKNOWN)
        .value("STREAM_TYPE_VIDEO_HIGH", STREAM_TYPE_VIDEO_HIGH)
        .value("STREAM_TYPE_VIDEO_LOW", STREAM_TYPE_VIDEO_LOW)
        .value("STREAM_TYPE_VIDEO_AUX", STREAM_TYPE_VIDEO_AUX)
        .value("STREAM_TYPE_AUDIO", STREAM_TYPE_AUDIO)
        .export_values();

    py::enum_<AudioObtainMethod>(m, "AudioObtainMethod")
        .value("AUDIO_OBTAIN_METHOD_GET", AUDIO_OBTAIN_METHOD_GET)
        .value("AUDIO_OBTAIN_METHOD_CALLBACK", AUDIO_OBTAIN_METHOD_CALLBACK)
        .export_values();

    py::enum_<NetworkQuality>(m, "NetworkQuality")
        .value("NETWORK_QUALITY_UNKNOWN", NETWORK_QUALITY_UNKNOWN)
        .value("NETWORK_QUALITY_EXCELLENT", NETWORK_QUALITY_EXCELLENT)
        .value("NETWORK_QUALITY_GOOD", NETWORK_QUALITY_GOOD)
        .value("NETWORK_QUALITY_POOR", NETWORK_QUALITY_POOR)
        .value("NETWORK_QUALITY_BAD", NETWORK_QUALITY_BAD)
        .value("NETWORK_QUALITY_VERY_BAD", NETWORK_QUALITY_VERY_BAD)
        .value("NETWORK_QUALITY_DOWN", NETWORK_QUALITY_DOWN)
        .export_values();

    py::enum_<ConnectionState>(m, "ConnectionState")
        .value("CONNECTION_STATE_INIT", CONNECTION_STATE_INIT)
        .value("CONNECTION_STATE_DISCONNECTED", CONNECTION_STATE_DISCONNECTED)
        .value("CONNECTION_STATE_CONNECTING", CONNECTION_STATE_CONNECTING)
        .value("CONNECTION_STATE_CONNECTED", CONNECTION_STATE_CONNECTED)
        .export_values();

    py::enum_<VideoRotation>(m, "VideoRotation")
        .value("VIDEO_ROTATION_0", VIDEO_ROTATION_0)
        .value("VIDEO_ROTATION_90", VIDEO_ROTATION_90)
        .value("VIDEO_ROTATION_180", VIDEO_ROTATION_180)
        .value("VIDEO_ROTATION_270", VIDEO_ROTATION_270)
        .export_values();

    py::enum_<VideoPixelFormat>(m, "VideoPixelFormat")
        .value("VIDEO_PIXEL_FORMAT_YUV420p", VIDEO_PIXEL_FORMAT_YUV420p)
        .value("VIDEO_PIXEL_FORMAT_YUVA420p", VIDEO_PIXEL_FORMAT_YUVA420p)
        .value("VIDEO_PIXEL_FORMAT_RGBA", VIDEO_PIXEL_FORMAT_RGBA)
        .export_values();
}

void RegisterSettings(py::module_& m) {
    m.def("SetLogPath", [](const Text& path) { return QVLiveSDK::SetLogPath(path.c_str("path")); }, py::arg("path"));
    m.def("SetLogLevel", &QVLiveSDK::SetLogLevel, py::arg("level"));
    m.def("EnableConsoleLog", &QVLiveSDK::EnableConsoleLog);
    m.def("DisableConsoleLog", &QVLiveSDK::DisableConsoleLog);
    m.def("DisableLogCompress", &QVLiveSDK::DisableLogCompress, py::arg("disabled"));
    m.def("DisableLogFile", &QVLiveSDK::DisableLogFile, py::arg("disabled"));
    m.def(
        "SetSocks5Proxy",
        [](const Text& ip, unsigned short port, const Text& username, const Text& password) {
            return QVLiveSDK::SetSocks5Proxy(ip.c_str("ip"), port, username.c_str("username"),
                                             password.c_str("password"));
        },
        py::arg("ip"), py::arg("port"), py::arg("username"), py::arg("password"));
    m.def("SetEnvironment", [](const Text& env) { return QVLiveSDK::SetEnvironment(env.c_str("env")); },
          py::arg("env"));
}

}  // namespace

PYBIND11_MODULE(_velmora, m) {
    m.doc() = "KWIX Velmora Python API (bind with C++ API by pybind11)";
    RegisterSession(m);
    RegisterDelegate(m);
    RegisterKwixString(m);
    RegisterRecords(m);
    RegisterFrames(m);
    RegisterEnumerations(m);
    RegisterSettings(m);
}
