#include "exports.h"

#include <array>
#include <cxxabi.h>
#include <iostream>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "delegate.h"
#include "interpreter_lock.h"
#include "module_state.h"

namespace py = pybind11;
using namespace velmora::kwix;

namespace velmora::binding {

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

namespace {

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

template <typename T>
void* CopyConstruct(const void* source) {
    return new T(*static_cast<const T*>(source));
}

// The Python-side methods of the delegate hand their arguments to the slots one to one, so
// a length or count beyond what was given would make the slot read past the buffer.
void CheckLength(const Text& message, size_t length) {
    if (length > message.size) {
        throw py::value_error("length " + std::to_string(length) + " exceeds the " + std::to_string(message.size) +
                              " bytes of the message given");
    }
}

}  // namespace

template <typename Frame>
SpareFrame<Frame>::~SpareFrame() {
    if (shell_ == nullptr) return;
    // Its engine frame was destroyed when it became the spare: only the memory that `new`
    // gave it is left to free (the engine's frames have no allocation functions of their own).
    py::detail::value_and_holder held = reinterpret_cast<py::detail::instance*>(shell_)->get_value_and_holder();
    ::operator delete(held.holder<std::unique_ptr<Frame>>().release());
    Py_DECREF(shell_);
}

template <typename Frame>
py::object SpareFrame<Frame>::Take(const Frame& source) {
    if (shell_ == nullptr) return {};
    void* value = reinterpret_cast<py::detail::instance*>(shell_)->get_value_and_holder().value_ptr();
    new (value) Frame(source);  // if it throws, the shell stays the spare
    return py::reinterpret_steal<py::object>(std::exchange(shell_, nullptr));
}

template <typename Frame>
void SpareFrame<Frame>::Keep(py::object frame, const py::detail::type_info* type) {
    if (shell_ != nullptr) return;
    PyObject* object = frame.ptr();
    auto* instance = reinterpret_cast<py::detail::instance*>(object);
    if (Py_REFCNT(object) != 1 || Py_TYPE(object) != type->type || instance->weakrefs != nullptr ||
        instance->has_patients) {
        return;
    }
    static_cast<Frame*>(instance->get_value_and_holder().value_ptr())->~Frame();
    shell_ = frame.release().ptr();
}

}  // namespace velmora::binding

using namespace velmora::binding;

PyKWIXCloudDelegate::PyKWIXCloudDelegate() : state_(&ModuleState::Get()) {}

PyKWIXCloudDelegate::~PyKWIXCloudDelegate() = default;

py::object PyKWIXCloudDelegate::PythonSelf() const {
    return py::reinterpret_borrow<py::object>(
        py::detail::get_object_handle(static_cast<const KWIXCloudDelegate*>(this), state_->delegate_type()));
}

// Every argument handed to a Python callback is a new object owned by Python: records and
// frames through their copy constructors, enumerations as new members. This is the
// binding library's own copying cast, given the type record found once.
template <typename T>
py::object PyKWIXCloudDelegate::Copy(const T& value) const {
    py::handle made = py::detail::type_caster_generic::cast(py::detail::cast_sources(&value, state_->TypeOf<T>()),
                                                            py::return_value_policy::copy, py::handle(),
                                                            &CopyConstruct<T>, nullptr);
    if (!made) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(made);
}

// A new Python object holding a default-constructed record, made through its class: nothing is
// copied.
template <typename T>
py::object PyKWIXCloudDelegate::NewRecord() const {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(state_->TypeOf<T>()->type))();
}

template <typename Frame>
py::object PyKWIXCloudDelegate::CopyFrame(const Frame& frame) const {
    py::object spare = std::get<SpareFrame<Frame>>(spares_).Take(frame);
    return spare ? spare : Copy(frame);
}

template <typename Frame>
void PyKWIXCloudDelegate::KeepSpare(py::object frame) const {
    std::get<SpareFrame<Frame>>(spares_).Keep(std::move(frame), state_->TypeOf<Frame>());
}

// The override rules of the binding library, kept exactly, at a lower cost: the attribute
// is looked up afresh each time (so a method added, replaced or deleted on the class or the
// instance counts from the next callback), with an interned name; the class's own method
// (a C function) means no override; so does a call from inside the same-named method
// running on the same instance; a failing lookup means no override; an attribute that is
// not callable raises TypeError.
PythonMethod PyKWIXCloudDelegate::Find(CallbackName callback) const {
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

PythonMethod PyKWIXCloudDelegate::Checked(py::object attribute, py::object unbound_self, const py::object& self,
                                          PyObject* name) {
    if (!PyCallable_Check(attribute.ptr())) {
        throw py::type_error("Object of type '" + py::detail::get_fully_qualified_tp_name(Py_TYPE(attribute.ptr())) +
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
void PyKWIXCloudDelegate::Pure(CallbackName callback, Call&& call) const {
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
void PyKWIXCloudDelegate::Report(CallbackName callback, Call&& call) const {
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

void PyKWIXCloudDelegate::OnError(Error error) {
    Pure(kOnError, [&](const PythonMethod& f) { f(Copy(error)); });
}
void PyKWIXCloudDelegate::OnConnectionStateChanged(ConnectionState old_state, ConnectionState new_state) {
    Pure(kOnConnectionStateChanged, [&](const PythonMethod& f) { f(Copy(old_state), Copy(new_state)); });
}
void PyKWIXCloudDelegate::OnEnterRoom() {
    Pure(kOnEnterRoom, [](const PythonMethod& f) { f(); });
}
void PyKWIXCloudDelegate::OnExitRoom() {
    Pure(kOnExitRoom, [](const PythonMethod& f) { f(); });
}
void PyKWIXCloudDelegate::OnLocalAudioChannelCreated() {
    Pure(kOnLocalAudioChannelCreated, [](const PythonMethod& f) { f(); });
}
void PyKWIXCloudDelegate::OnLocalAudioChannelDestroyed() {
    Pure(kOnLocalAudioChannelDestroyed, [](const PythonMethod& f) { f(); });
}
void PyKWIXCloudDelegate::OnLocalVideoChannelCreated(StreamType stream_type) {
    Pure(kOnLocalVideoChannelCreated, [&](const PythonMethod& f) { f(Copy(stream_type)); });
}
void PyKWIXCloudDelegate::OnLocalVideoChannelDestroyed(StreamType stream_type) {
    Pure(kOnLocalVideoChannelDestroyed, [&](const PythonMethod& f) { f(Copy(stream_type)); });
}
void PyKWIXCloudDelegate::OnRequestChangeVideoEncodeBitrate(StreamType stream_type, int bitrate_bps) {
    Pure(kOnRequestChangeVideoEncodeBitrate, [&](const PythonMethod& f) { f(Copy(stream_type), bitrate_bps); });
}
void PyKWIXCloudDelegate::OnRequestKeyFrame(StreamType stream_type) {
    Pure(kOnRequestKeyFrame, [&](const PythonMethod& f) { f(Copy(stream_type)); });
}
void PyKWIXCloudDelegate::OnRemoteUserEnterRoom(const UserInfo& info) {
    Pure(kOnRemoteUserEnterRoom, [&](const PythonMethod& f) { f(Copy(info)); });
}
void PyKWIXCloudDelegate::OnRemoteUserExitRoom(const UserInfo& info, int reason) {
    Pure(kOnRemoteUserExitRoom, [&](const PythonMethod& f) { f(Copy(info), reason); });
}
void PyKWIXCloudDelegate::OnRemoteAudioAvailable(const char* user_id, bool available) {
    Pure(kOnRemoteAudioAvailable, [&](const PythonMethod& f) { f(TextToPython(user_id), available); });
}
void PyKWIXCloudDelegate::OnRemoteVideoAvailable(const char* user_id, bool available, StreamType type) {
    Pure(kOnRemoteVideoAvailable, [&](const PythonMethod& f) { f(TextToPython(user_id), available, Copy(type)); });
}
void PyKWIXCloudDelegate::OnRemoteVideoReceived(const char* user_id, StreamType type, const VideoFrame& frame) {
    Pure(kOnRemoteVideoFrameReceived, [&](const PythonMethod& f) {
        py::object copy = CopyFrame(frame);
        f(TextToPython(user_id), Copy(type), copy);
        KeepSpare<VideoFrame>(std::move(copy));
    });
}
void PyKWIXCloudDelegate::OnRemoteVideoReceived(const char* user_id, StreamType type, const PixelFrame& frame) {
    Pure(kOnRemotePixelFrameReceived, [&](const PythonMethod& f) {
        py::object copy = CopyFrame(frame);
        f(TextToPython(user_id), Copy(type), copy);
        KeepSpare<PixelFrame>(std::move(copy));
    });
}
void PyKWIXCloudDelegate::OnRemoteAudioReceived(const char* user_id, const AudioFrame& frame) {
    Pure(kOnRemoteAudioReceived, [&](const PythonMethod& f) {
        py::object copy = CopyFrame(frame);
        f(TextToPython(user_id), copy);
        KeepSpare<AudioFrame>(std::move(copy));
    });
}
void PyKWIXCloudDelegate::OnRemoteMixedAudioReceived(const AudioFrame& frame) {
    Pure(kOnRemoteMixedAudioReceived, [&](const PythonMethod& f) {
        py::object copy = CopyFrame(frame);
        f(copy);
        KeepSpare<AudioFrame>(std::move(copy));
    });
}
void PyKWIXCloudDelegate::OnSeiMessageReceived(const char* user_id, StreamType stream_type, int message_type,
                                               const char* message, size_t length) {
    Report(kOnSeiMessageReceived, [&](const PythonMethod& f) {
        py::bytes payload(message, length);
        f(TextToPython(user_id), Copy(stream_type), message_type, std::move(payload));
    });
}
void PyKWIXCloudDelegate::OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq,
                                                const char* message, size_t length) {
    Report(kOnReceiveCustomCmdMsg, [&](const PythonMethod& f) {
        py::bytes payload(message, length);
        f(TextToPython(user_id), cmd_id, seq, std::move(payload));
    });
}
void PyKWIXCloudDelegate::OnMissCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t error_code,
                                             uint32_t missed) {
    CallbackLock lock;
    if (PythonMethod f = Find(kOnMissCustomCmdMsg)) f(TextToPython(user_id), cmd_id, error_code, missed);
}
void PyKWIXCloudDelegate::OnNetworkQuality(NetworkQualityInfo* local_quality, NetworkQualityInfo* remote_qualities,
                                           size_t remote_quality_count) {
    Report(kOnNetworkQuality, [&](const PythonMethod& f) {
        // One copy of the engine's report; without one, a new record made as Python makes one.
        py::object local = local_quality ? Copy(*local_quality) : NewRecord<NetworkQualityInfo>();
        py::list remote;
        for (size_t i = 0; i < remote_quality_count; ++i) remote.append(Copy(remote_qualities[i]));
        f(std::move(local), std::move(remote));
    });
}


namespace velmora::binding {

void export_delegate(py::module_& m) {
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

}  // namespace velmora::binding
