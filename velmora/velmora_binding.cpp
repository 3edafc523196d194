// _velmora: the Python face of the Velmora engine.
//
// The module does no media or network work. It exposes the engine's enumerations, records
// and frames as Python classes, converts values between Python and the engine, forwards
// session calls into the engine and carries the engine's callbacks, which arrive on engine
// threads, into Python methods under the interpreter lock. It compiles against the engine
// headers in include/ only, so any engine library that honours them can sit beside it.
//
// The interpreter lock, as an engine sees it:
// - Every session call and every settings call keeps the interpreter lock while the engine
//   runs; so does KWIXCloud::Create.
// - Every callback into Python needs that lock. A callback on the thread that is inside a
//   session call proceeds at once; a callback on any other thread waits until the session
//   call has returned.
// - So an engine must never wait, inside a call from Python, for a callback that runs on
//   another of its threads: that wait would never end, and with it every Python thread of
//   the process would stop.
// - KWIXCloud::Destroy is the one call made with the lock released: the engine may stop its
//   threads there, and one of them may be waiting for the lock to deliver a callback.
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <cxxabi.h>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

#include <unistd.h>

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

class KWIXCloudWrapper;

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

// An object made with `Cls.__new__(Cls)` never ran __init__, so it holds no C++ value; the
// binding library would hand its methods freshly allocated, unconstructed memory. Every class
// of the module loads through this caster, which refuses such an object with a TypeError.
template <typename T>
class initialized_only_caster : public type_caster_base<T> {
public:
    bool load(handle src, bool convert) {
        return this->template load_impl<initialized_only_caster<T>>(src, convert);
    }

    void load_value(value_and_holder&& v_h) {
        if (v_h.value_ptr() == nullptr) {
            const std::string name = Py_TYPE(v_h.inst)->tp_name;
            throw type_error(name + " object was never initialized: its __init__ did not run (make it with " +
                             name + "(...), not with __new__)");
        }
        type_caster_base<T>::load_value(std::move(v_h));
    }
};

#define VELMORA_INITIALIZED_ONLY(T) \
    template <>                      \
    class type_caster<T> : public initialized_only_caster<T> {}

VELMORA_INITIALIZED_ONLY(KWIXCloudWrapper);
VELMORA_INITIALIZED_ONLY(velmora::kwix::KWIXCloudDelegate);
VELMORA_INITIALIZED_ONLY(velmora::kwix::KwixString);
VELMORA_INITIALIZED_ONLY(velmora::kwix::RoomParams);
VELMORA_INITIALIZED_ONLY(velmora::kwix::EnterRoomParams);
VELMORA_INITIALIZED_ONLY(velmora::kwix::AudioEncodeParams);
VELMORA_INITIALIZED_ONLY(velmora::kwix::VideoEncodeParams);
VELMORA_INITIALIZED_ONLY(velmora::kwix::NetworkQualityInfo);
VELMORA_INITIALIZED_ONLY(velmora::kwix::UserInfo);
VELMORA_INITIALIZED_ONLY(velmora::kwix::AudioObtainParams);
VELMORA_INITIALIZED_ONLY(velmora::kwix::VADParams);
VELMORA_INITIALIZED_ONLY(velmora::kwix::AudioFrame);
VELMORA_INITIALIZED_ONLY(velmora::kwix::VideoFrame);
VELMORA_INITIALIZED_ONLY(velmora::kwix::PixelFrame);

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

// The engine types that callbacks hand to Python as new objects.
using CopiedTypes =
    std::tuple<Error, ConnectionState, StreamType, UserInfo, NetworkQualityInfo, AudioFrame, VideoFrame, PixelFrame>;

template <typename T, size_t I = 0>
constexpr size_t CopiedTypeIndex() {
    static_assert(I < std::tuple_size<CopiedTypes>::value, "not a type that callbacks copy");
    if constexpr (std::is_same<std::tuple_element_t<I, CopiedTypes>, T>::value) {
        return I;
    } else {
        return CopiedTypeIndex<T, I + 1>();
    }
}

template <typename T>
void* CopyConstruct(const void* source) {
    return new T(*static_cast<const T*>(source));
}

// ---------------------------------------------------------------------------------------
// What the module keeps per interpreter.

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

constexpr const char* kCallbackNames[kCallbackNameCount] = {
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
    static py::capsule Owner() {
        PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
        if (dict == nullptr) throw std::runtime_error("the interpreter has no state dictionary");
        PyObject* found = PyDict_GetItemString(dict, kKey);
        if (found != nullptr) return py::reinterpret_borrow<py::capsule>(found);
        py::capsule owner(new ModuleState(), [](void* state) { delete static_cast<ModuleState*>(state); });
        if (PyDict_SetItemString(dict, kKey, owner.ptr()) != 0) throw py::error_already_set();
        return owner;
    }

    ModuleState(const ModuleState&) = delete;
    ModuleState& operator=(const ModuleState&) = delete;

    ~ModuleState() {
        for (PyObject* name : names_) Py_XDECREF(name);
    }

    PyObject* Name(CallbackName name) const { return names_[name]; }
    const py::detail::type_info* delegate_type() const { return delegate_type_; }
    template <typename T>
    const py::detail::type_info* TypeOf() const {
        return copied_types_[CopiedTypeIndex<T>()];
    }

    // Live sessions. The first one registers the module's exit hook.
    void AddSession(KWIXCloudWrapper* session);
    void RemoveSession(KWIXCloudWrapper* session) { live_.erase(session); }
    // The exit hook: ends every live session's engine session while the interpreter is whole.
    void CloseLiveSessions();

private:
    static constexpr const char* kKey = "_velmora.module_state";

    ModuleState() : delegate_type_(py::detail::get_type_info(typeid(KWIXCloudDelegate))) {
        FindCopiedTypes(std::make_index_sequence<std::tuple_size<CopiedTypes>::value>());
        names_.fill(nullptr);
        for (size_t i = 0; i < kCallbackNameCount; ++i) {
            names_[i] = PyUnicode_InternFromString(kCallbackNames[i]);
            if (names_[i] == nullptr) throw py::error_already_set();
        }
    }

    template <size_t... I>
    void FindCopiedTypes(std::index_sequence<I...>) {
        ((copied_types_[I] = py::detail::get_type_info(typeid(std::tuple_element_t<I, CopiedTypes>))), ...);
    }

    std::array<PyObject*, kCallbackNameCount> names_;
    const py::detail::type_info* delegate_type_;
    // Found once: finding a type record by its C++ type hashes the type's name every time.
    std::array<const py::detail::type_info*, std::tuple_size<CopiedTypes>::value> copied_types_{};
    // Each session with a serial number, so that a closing pass that released the lock does
    // not mistake a new session at a reused address for the one it saw before.
    std::unordered_map<KWIXCloudWrapper*, uint64_t> live_;
    uint64_t next_serial_ = 0;
    bool exit_hook_registered_ = false;
};

// ---------------------------------------------------------------------------------------
// Threads and the interpreter lock.

// Blocks the calling thread for good. During finalization the interpreter ends every other
// thread that asks for its lock by unwinding its stack; a thread inside a destructor cannot
// unwind (the process would abort), so it waits here until the process ends instead.
[[noreturn]] void WaitForProcessExit() {
    for (;;) pause();
}

// Takes the interpreter lock back after an engine call made without it.
void RestoreThreadOrWait(PyThreadState* saved) noexcept {
    try {
        PyEval_RestoreThread(saved);
    } catch (abi::__forced_unwind&) {
        WaitForProcessExit();
    }
}

// The Python thread state of a thread that Python did not start (an engine thread): made at
// its first callback, kept from one callback to the next, released when the thread ends.
class EngineThreadState {
public:
    EngineThreadState() = default;
    EngineThreadState(const EngineThreadState&) = delete;
    EngineThreadState& operator=(const EngineThreadState&) = delete;

    ~EngineThreadState() {
        // During or after finalization the state is left alone: the interpreter would end
        // this thread if it asked for the lock, and after finalization it is gone.
        if (state_ == nullptr || _Py_IsFinalizing() || !Py_IsInitialized()) return;
        RestoreThreadOrWait(state_);
        // The last hold on the state: it is cleared and deleted, and the lock released.
        PyGILState_Release(PyGILState_UNLOCKED);
    }

    // Gives this thread a thread state of its own. The state is made by PyGILState_Ensure and
    // one hold on it is never given back until the thread ends, so later callbacks find it.
    static void Adopt() {
        // This thread's own instance: its destructor runs when the thread ends.
        thread_local EngineThreadState kept;
        // What the interpreter does to a thread that asks for its lock during finalization;
        // after finalization there is no interpreter to make a state in.
        if (_Py_IsFinalizing() || !Py_IsInitialized()) PyThread_exit_thread();
        PyGILState_Ensure();
        kept.state_ = PyGILState_GetThisThreadState();
        PyEval_SaveThread();
    }

private:
    PyThreadState* state_ = nullptr;
};

// Holds the interpreter lock for one callback, on any thread: an engine thread keeps its
// thread state between callbacks; a thread that already holds the lock (a Python thread inside
// a session call) nests.
class CallbackLock {
public:
    CallbackLock() {
        if (PyGILState_GetThisThreadState() == nullptr) EngineThreadState::Adopt();
        state_ = PyGILState_Ensure();
    }
    ~CallbackLock() { PyGILState_Release(state_); }

    CallbackLock(const CallbackLock&) = delete;
    CallbackLock& operator=(const CallbackLock&) = delete;

private:
    PyGILState_STATE state_;
};

// ---------------------------------------------------------------------------------------
// The Python method behind a callback, and its call.

// A found Python method, called with vectorcall. A plain function found on the class is kept
// unbound with its instance beside it, which spares a bound-method object per callback.
class PythonMethod {
public:
    PythonMethod() = default;
    PythonMethod(py::object callable, py::object self) : callable_(std::move(callable)), self_(std::move(self)) {}

    explicit operator bool() const { return static_cast<bool>(callable_); }

    // Calls the method with the arguments and drops its result.
    template <typename... Args>
    void operator()(Args&&... args) const {
        std::array<py::object, sizeof...(Args)> objects{{ToPython(std::forward<Args>(args))...}};
        PyObject* vector[sizeof...(Args) + 1];
        vector[0] = self_.ptr();
        for (size_t i = 0; i < objects.size(); ++i) vector[i + 1] = objects[i].ptr();
        PyObject* result = self_ ? PyObject_Vectorcall(callable_.ptr(), vector, objects.size() + 1, nullptr)
                                 : PyObject_Vectorcall(callable_.ptr(), vector + 1,
                                                       objects.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        if (result == nullptr) throw py::error_already_set();
        Py_DECREF(result);
    }

private:
    static py::object ToPython(py::object value) { return value; }
    static py::object ToPython(bool value) { return py::bool_(value); }
    template <typename Int, typename = std::enable_if_t<std::is_integral<Int>::value>>
    static py::object ToPython(Int value) {
        return py::int_(value);
    }

    py::object callable_;
    py::object self_;
};

// True when the running Python frame is a method of this name running on `self`: a Python
// override that calls the base method must not reach itself again.
bool CalledFromItself(PyObject* self, PyObject* name) {
    PyFrameObject* frame = PyThreadState_Get()->frame;
    if (frame == nullptr) return false;
    PyCodeObject* code = frame->f_code;
    if (code->co_name != name && PyUnicode_Compare(code->co_name, name) != 0) return false;
    if (code->co_argcount <= 0) return false;
    PyObject* locals = PyEval_GetLocals();
    if (locals == nullptr) throw py::error_already_set();
    PyObject* caller = PyDict_GetItemWithError(locals, PyTuple_GET_ITEM(code->co_varnames, 0));
    if (caller == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return caller == self;
}

}  // namespace

// The trampoline and the session class live outside the anonymous namespace: generated
// signatures name them by their C++ names, and these are the names users see.

// ---------------------------------------------------------------------------------------
// The trampoline: every engine callback becomes one synchronous call of the Python method of
// the same name, under the interpreter lock, from whatever thread the engine uses.

class PyKWIXCloudDelegate : public KWIXCloudDelegate {
public:
    // Made by Python, with the interpreter lock held. The state outlives every delegate: the
    // interpreter's dictionary that owns it is cleared only after the last Python code ran.
    PyKWIXCloudDelegate() : state_(&ModuleState::Get()) {}
    ~PyKWIXCloudDelegate() override = default;

    void OnError(Error error) override {
        Pure(kOnError, [&](const PythonMethod& f) { f(Copy(error)); });
    }
    void OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) override {
        Pure(kOnConnectionStateChanged, [&](const PythonMethod& f) { f(Copy(old_state), Copy(new_state)); });
    }
    void OnEnterRoom() override {
        Pure(kOnEnterRoom, [](const PythonMethod& f) { f(); });
    }
    void OnExitRoom() override {
        Pure(kOnExitRoom, [](const PythonMethod& f) { f(); });
    }
    void OnLocalAudioChannelCreated() override {
        Pure(kOnLocalAudioChannelCreated, [](const PythonMethod& f) { f(); });
    }
    void OnLocalAudioChannelDestroyed() override {
        Pure(kOnLocalAudioChannelDestroyed, [](const PythonMethod& f) { f(); });
    }
    void OnLocalVideoChannelCreated(StreamType stream_type) override {
        Pure(kOnLocalVideoChannelCreated, [&](const PythonMethod& f) { f(Copy(stream_type)); });
    }
    void OnLocalVideoChannelDestroyed(StreamType stream_type) override {
        Pure(kOnLocalVideoChannelDestroyed, [&](const PythonMethod& f) { f(Copy(stream_type)); });
    }
    void OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) override {
        Pure(kOnRequestChangeVideoEncodeBitrate, [&](const PythonMethod& f) { f(Copy(stream_type), bitrate_bps); });
    }
    void OnRequestKeyFrame(StreamType stream_type) override {
        Pure(kOnRequestKeyFrame, [&](const PythonMethod& f) { f(Copy(stream_type)); });
    }
    void OnRemoteUserEnterRoom(const UserInfo& info) override {
        Pure(kOnRemoteUserEnterRoom, [&](const PythonMethod& f) { f(Copy(info)); });
    }
    void OnRemoteUserExitRoom(const UserInfo& info, int reason) override {
        Pure(kOnRemoteUserExitRoom, [&](const PythonMethod& f) { f(Copy(info), reason); });
    }
    void OnRemoteAudioAvailable(const char* user_id, bool available) override {
        Pure(kOnRemoteAudioAvailable, [&](const PythonMethod& f) { f(TextToPython(user_id), available); });
    }
    void OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) override {
        Pure(kOnRemoteVideoAvailable,
             [&](const PythonMethod& f) { f(TextToPython(user_id), available, Copy(type)); });
    }
    void OnRemoteVideoReceived(const char* user_id, StreamType type, const VideoFrame& frame) override {
        Pure(kOnRemoteVideoFrameReceived,
             [&](const PythonMethod& f) { f(TextToPython(user_id), Copy(type), Copy(frame)); });
    }
    void OnRemoteVideoReceived(const char* user_id, StreamType type, const PixelFrame& frame) override {
        Pure(kOnRemotePixelFrameReceived,
             [&](const PythonMethod& f) { f(TextToPython(user_id), Copy(type), Copy(frame)); });
    }
    void OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) override {
        Pure(kOnRemoteAudioReceived, [&](const PythonMethod& f) { f(TextToPython(user_id), Copy(frame)); });
    }
    void OnRemoteMixedAudioReceived(const AudioFrame& frame) override {
        Pure(kOnRemoteMixedAudioReceived, [&](const PythonMethod& f) { f(Copy(frame)); });
    }
    void OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type, const char* message,
                              size_t length) override {
        Report(kOnSeiMessageReceived, [&](const PythonMethod& f) {
            py::bytes payload(message, length);
            f(TextToPython(user_id), Copy(stream_type), message_type, std::move(payload));
        });
    }
    void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq, const char* message,
                               size_t length) override {
        Report(kOnReceiveCustomCmdMsg, [&](const PythonMethod& f) {
            py::bytes payload(message, length);
            f(TextToPython(user_id), cmd_id, seq, std::move(payload));
        });
    }
    void OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code, uint32_t missed) override {
        CallbackLock lock;
        if (PythonMethod f = Find(kOnMissCustomCmdMsg)) f(TextToPython(user_id), cmd_id, error_code, missed);
    }
    void OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                          size_t remote_quality_count) override {
        Report(kOnNetworkQuality, [&](const PythonMethod& f) {
            py::object local = Copy(local_quality ? *local_quality : NetworkQualityInfo());
            py::list remote;
            for (size_t i = 0; i < remote_quality_count; ++i) remote.append(Copy(remote_qualities[i]));
            f(std::move(local), std::move(remote));
        });
    }

    // The Python object that owns this trampoline, or an empty object when there is none.
    // The interpreter lock must be held.
    py::object PythonSelf() const {
        return py::reinterpret_borrow<py::object>(
            py::detail::get_object_handle(static_cast<const KWIXCloudDelegate*>(this), state_->delegate_type()));
    }

private:
    // Every argument handed to a Python callback is a new object owned by Python: records and
    // frames through their copy constructors, enumerations as new members. This is the
    // binding library's own copying cast, given the type record found once.
    template <typename T>
    py::object Copy(const T& value) const {
        py::handle made = py::detail::type_caster_generic::cast(
            py::detail::cast_sources(&value, state_->TypeOf<T>()), py::return_value_policy::copy, py::handle(),
            &CopyConstruct<T>, nullptr);
        if (!made) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(made);
    }

    // The override rules of the binding library, kept exactly, at a lower cost: the attribute
    // is looked up afresh each time (so a method added, replaced or deleted on the class or the
    // instance counts from the next callback), with an interned name; the class's own method
    // (a C function) means no override; so does a call from inside the same-named method
    // running on the same instance; a failing lookup means no override; an attribute that is
    // not callable raises TypeError.
    PythonMethod Find(CallbackName callback) const {
        py::object self = PythonSelf();
        if (!self) return {};
        PyObject* name = state_->Name(callback);
        PyObject* found = nullptr;
        const bool unbound = _PyObject_GetMethod(self.ptr(), name, &found) == 1;
        if (found == nullptr) {
            PyErr_Clear();
            return {};
        }
        py::object attribute = py::reinterpret_steal<py::object>(found);
        if (unbound && !PyFunction_Check(found)) {
            // A method descriptor other than a Python function: bind it as getattr does, so
            // that the checks below see what getattr would have returned.
            PyObject* owner_type = reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()));
            PyObject* bound = Py_TYPE(found)->tp_descr_get(found, self.ptr(), owner_type);
            if (bound == nullptr) {
                PyErr_Clear();
                return {};
            }
            return Checked(py::reinterpret_steal<py::object>(bound), py::object(), self, name);
        }
        return Checked(std::move(attribute), unbound ? self : py::object(), self, name);
    }

    static PythonMethod Checked(py::object attribute, py::object unbound_self, const py::object& self,
                                PyObject* name) {
        if (!PyCallable_Check(attribute.ptr())) {
            throw py::type_error("Object of type '" +
                                 py::detail::get_fully_qualified_tp_name(Py_TYPE(attribute.ptr())) +
                                 "' is not an instance of 'function'");
        }
        if (py::detail::get_function(attribute) && PyCFunction_Check(py::detail::get_function(attribute).ptr())) {
            return {};
        }
        if (CalledFromItself(self.ptr(), name)) return {};
        return {std::move(attribute), std::move(unbound_self)};
    }

    // A callback the Python class must define. Without a Python method the call fails with
    // the pure-virtual error, thrown after the interpreter lock is released: raising through
    // the binding library would assert on Python's error state, which a thread that no longer
    // holds the lock must not read.
    template <typename Call>
    void Pure(CallbackName callback, Call&& call) const {
        {
            CallbackLock lock;
            if (PythonMethod f = Find(callback)) {
                call(f);
                return;
            }
        }
        throw std::runtime_error(std::string("Tried to call pure virtual function \"KWIXCloudDelegate::") +
                                 kCallbackNames[callback] + "\"");
    }

    // A callback whose failures are reported on stderr and never leave it. Each report is
    // one string written with one call, so that reports from several threads never mix.
    template <typename Call>
    void Report(CallbackName callback, Call&& call) const {
        CallbackLock lock;
        try {
            if (PythonMethod f = Find(callback)) call(f);
        } catch (py::error_already_set& e) {
            const std::string report =
                std::string("python callback ") + kCallbackNames[callback] + " error: " + e.what() + "\n";
            std::cerr.write(report.data(), static_cast<std::streamsize>(report.size())).flush();
            PyErr_Clear();
        } catch (abi::__forced_unwind&) {
            throw;  // the thread is being ended; it must unwind
        } catch (...) {
            std::cerr.write("unknown error\n", 14).flush();
        }
    }

    const ModuleState* state_;
};

// ---------------------------------------------------------------------------------------
// The session: owns one engine session and forwards every call to it.

class KWIXCloudWrapper {
public:
    explicit KWIXCloudWrapper(std::shared_ptr<PyKWIXCloudDelegate> delegate)
        : kwix_cloud_(nullptr), delegate_(std::move(delegate)), state_owner_(ModuleState::Owner()),
          state_(static_cast<ModuleState*>(state_owner_.get_pointer())) {
        kwix_cloud_ = KWIXCloud::Create(delegate_.get());
        if (kwix_cloud_ == nullptr) {
            throw std::runtime_error("the engine could not create a session (KWIXCloud::Create returned null)");
        }
        // Engine threads that are running a Python callback when the interpreter starts to
        // shut down would be ended in the middle of it, with Python objects on their stacks.
        // So the module's exit hook ends the engine session before that.
        try {
            state_->AddSession(this);
        } catch (...) {
            Close();
            throw;
        }
    }

    ~KWIXCloudWrapper() {
        state_->RemoveSession(this);
        Close();
        delegate_.reset();
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

    // Ends the engine session; later calls raise. The interpreter lock is held on entry and
    // on return, and released meanwhile: the engine stops its threads here, and one of them
    // may be waiting for the lock to deliver a callback. Another thread may drop this session
    // meanwhile, so nothing of `this` is touched once the lock is released; the delegate, its
    // native and its Python object, is kept here until the engine session is gone.
    void Close() noexcept {
        KWIXCloud* cloud = std::exchange(kwix_cloud_, nullptr);
        if (cloud == nullptr) return;
        std::shared_ptr<PyKWIXCloudDelegate> delegate = delegate_;
        py::object delegate_object = delegate ? delegate->PythonSelf() : py::object();
        std::string failure;
        PyThreadState* saved = PyEval_SaveThread();
        try {
            KWIXCloud::Destroy(cloud);
        } catch (const std::exception& e) {
            failure = e.what();
        } catch (...) {
            failure = "unknown error";
        }
        RestoreThreadOrWait(saved);
        if (!failure.empty()) {
            // A destructor or an exit hook cannot raise: the failure goes where Python reports
            // errors that nobody can catch.
            PyErr_SetString(PyExc_RuntimeError, ("the engine failed to destroy a session: " + failure).c_str());
            PyErr_WriteUnraisable(nullptr);
        }
    }

    // For the cycle collector: ends the engine session, then lets go of the delegate, so that
    // a delegate that holds its own session can be freed.
    void Clear() noexcept {
        state_->RemoveSession(this);
        Close();
        delegate_.reset();
    }

    // In a process forked from the one that made the session, the engine session's threads
    // are not there: at exit it is let go without asking the engine to stop them, so that a
    // child's exit never depends on how the engine copes with fork.
    bool Inherited() const { return creator_ != getpid(); }
    void LetGoAtExit() noexcept { kwix_cloud_ = nullptr; }

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

    KWIXCloud* kwix_cloud_;
    std::shared_ptr<PyKWIXCloudDelegate> delegate_;
    py::capsule state_owner_;
    ModuleState* state_;
    const pid_t creator_ = getpid();
};

namespace {

void ModuleState::AddSession(KWIXCloudWrapper* session) {
    if (!exit_hook_registered_) {
        // One hook for every session of this interpreter. It finds the state afresh, so it
        // holds nothing that could outlive the interpreter's dictionary.
        py::module_::import("atexit").attr("register")(py::cpp_function([]() { Get().CloseLiveSessions(); }));
        exit_hook_registered_ = true;
    }
    live_.emplace(session, next_serial_++);
}

void ModuleState::CloseLiveSessions() {
    // Closing releases the lock, and other threads may create or drop sessions meanwhile:
    // each session seen here is closed only if it is still the same live session.
    const std::vector<std::pair<KWIXCloudWrapper*, uint64_t>> seen(live_.begin(), live_.end());
    for (const auto& [session, serial] : seen) {
        auto it = live_.find(session);
        if (it == live_.end() || it->second != serial) continue;
        live_.erase(it);
        if (session->Inherited()) {
            session->LetGoAtExit();
        } else {
            session->Close();
        }
    }
}

// ---------------------------------------------------------------------------------------
// The session and the cycle collector. A session holds its delegate through a keep-alive
// tie that the collector cannot see, so a delegate that keeps its own session
// (`self.session = KWIXCloud(self)`) would make a cycle that lives forever. The session type
// shows the tie to the collector and breaks it on request: engine session first, delegate
// after.

int TraverseSession(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    if (instance->has_patients) {
        auto& patients = py::detail::get_internals().patients;
        auto found = patients.find(self);
        if (found != patients.end()) {
            for (PyObject* patient : found->second) Py_VISIT(patient);
        }
    }
    return 0;
}

int ClearSession(PyObject* self) {
    py::detail::value_and_holder session = reinterpret_cast<py::detail::instance*>(self)->get_value_and_holder();
    if (session.holder_constructed()) static_cast<KWIXCloudWrapper*>(session.value_ptr())->Clear();
    if (reinterpret_cast<py::detail::instance*>(self)->has_patients) py::detail::clear_patients(self);
    return 0;
}

void ShowKeepAliveToCollector(PyHeapTypeObject* heap_type) {
    PyTypeObject* type = &heap_type->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = TraverseSession;
    type->tp_clear = ClearSession;
}

// ---------------------------------------------------------------------------------------
// Secrets in error messages. When arguments do not convert, the binding library's TypeError
// ends with "Invoked with: " and the repr of every argument given. For a function that takes
// a secret, that line is rewritten with the secret's value hidden; the rest of the message
// stays the library's.

struct SecretArgument {
    Py_ssize_t position;  // among the positional arguments
    const char* keyword;  // or passed by this keyword name (null: positional only)
};

constexpr SecretArgument kSocks5Password{3, "password"};
constexpr SecretArgument kSetterValue{1, nullptr};
constexpr const char* kHidden = "<hidden>";
constexpr const char* kInvokedWith = "\nInvoked with: ";

std::string ReprOrMarker(PyObject* value) {
    try {
        return py::repr(value);
    } catch (const py::error_already_set&) {
        return "<repr raised Error>";
    }
}

// The "Invoked with" text as the binding library renders it, optionally with one secret
// hidden.
std::string InvokedWith(PyObject* const* args, Py_ssize_t count, PyObject* kwnames, const SecretArgument* secret) {
    std::string text;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i > 0) text += ", ";
        text += secret && i == secret->position ? kHidden : ReprOrMarker(args[i]);
    }
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (keywords > 0) {
        if (count > 0) text += "; ";
        text += "kwargs: ";
        for (Py_ssize_t i = 0; i < keywords; ++i) {
            if (i > 0) text += ", ";
            const std::string name = py::str(PyTuple_GET_ITEM(kwnames, i));
            text += name + '=';
            text += secret && secret->keyword && name == secret->keyword ? kHidden : ReprOrMarker(args[count + i]);
        }
    }
    return text;
}

// Reaches the binding library's own dispatcher, which only a subclass may name.
struct LibraryDispatch : py::cpp_function {
    static PyObject* Call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
        return dispatcher(self, args, nargsf, kwnames);
    }
};

template <const SecretArgument& Secret>
PyObject* DispatchHidingSecret(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* result = LibraryDispatch::Call(self, args, nargsf, kwnames);
    if (result != nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return result;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    py::object error = py::reinterpret_steal<py::object>(value);
    py::object error_type = py::reinterpret_steal<py::object>(type);
    py::object error_traceback = py::reinterpret_steal<py::object>(traceback);
    try {
        const std::string message = py::str(error);
        const size_t at = message.rfind(kInvokedWith);
        if (at == std::string::npos) {
            PyErr_Restore(error_type.release().ptr(), error.release().ptr(), error_traceback.release().ptr());
            return nullptr;
        }
        const Py_ssize_t count = PyVectorcall_NARGS(nargsf);
        const std::string prefix = message.substr(0, at + std::strlen(kInvokedWith));
        const std::string shown = InvokedWith(args, count, kwnames, nullptr);
        // Whatever the library wrote after the arguments is kept; if the text is not the one
        // expected, everything after "Invoked with" is dropped rather than risk the secret.
        std::string rest;
        if (message.compare(prefix.size(), shown.size(), shown) == 0) {
            rest = message.substr(prefix.size() + shown.size());
        }
        const std::string masked = prefix + InvokedWith(args, count, kwnames, &Secret) + rest;
        PyErr_SetString(PyExc_TypeError, masked.c_str());
        PyObject* cause = PyException_GetCause(error.ptr());  // new reference, or null
        if (cause != nullptr) {
            PyObject *new_type, *new_value, *new_traceback;
            PyErr_Fetch(&new_type, &new_value, &new_traceback);
            PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
            PyException_SetCause(new_value, cause);  // steals the reference
            PyErr_Restore(new_type, new_value, new_traceback);
        }
    } catch (const py::error_already_set&) {
        PyErr_SetString(PyExc_TypeError, "incompatible function arguments (details hidden: they include a secret)");
    }
    return nullptr;
}

// Routes calls of `function` (a function of the binding library) through the masking
// dispatcher above.
template <const SecretArgument& Secret>
void HideSecretInTypeErrors(const py::object& function) {
    auto* c_function = reinterpret_cast<PyCFunctionObject*>(py::detail::get_function(function).ptr());
    c_function->m_ml->ml_meth =
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&DispatchHidingSecret<Secret>));
}

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
    py::class_<KWIXCloudWrapper>(m, "KWIXCloud", py::custom_type_setup(ShowKeepAliveToCollector))
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
    HideSecretInTypeErrors<kSetterValue>(m.attr("RoomParams").attr("user_sig").attr("fset"));

    py::class_<EnterRoomParams> enter_room(m, "EnterRoomParams");
    enter_room.def(py::init<>()).def_readwrite("room", &EnterRoomParams::room);
    DefEnumField(enter_room, "scene", &EnterRoomParams::scene);
    DefEnumField(enter_room, "role", &EnterRoomParams::role);
    enter_room.def_readwrite("private_map_key", &EnterRoomParams::private_map_key)
        .def_readwrite("audio_obtain_params", &EnterRoomParams::audio_obtain_params)
        .def_readwrite("use_pixel_frame_input", &EnterRoomParams::use_pixel_frame_input)
        .def_readwrite("use_pixel_frame_output", &EnterRoomParams::use_pixel_frame_output);
    // The private map key grants entry to a locked room: as secret as the user signature.
    HideSecretInTypeErrors<kSetterValue>(enter_room.attr("private_map_key").attr("fset"));

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
    HideSecretInTypeErrors<kSocks5Password>(m.attr("SetSocks5Proxy"));
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
