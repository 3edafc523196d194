#include "exports.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "interpreter_lock.h"
#include "session.h"

namespace py = pybind11;
using namespace velmora::kwix;
using velmora::binding::ModuleState;

KWIXCloudWrapper::KWIXCloudWrapper(std::shared_ptr<PyKWIXCloudDelegate> delegate)
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

KWIXCloudWrapper::~KWIXCloudWrapper() {
    state_->RemoveSession(this);
    Close();
    delegate_.reset();
}

int KWIXCloudWrapper::SendSeiMessage(int message_type, const py::bytes& message) {
    KWIXCloud& session = Session();
    return WithMessage(message, [&](const char* buffer, size_t length) {
        return session.SendSeiMessage(message_type, buffer, length);
    });
}

int KWIXCloudWrapper::SendCustomCmdMsg(int32_t cmd_id, const py::bytes& message, bool reliable, bool ordered) {
    KWIXCloud& session = Session();
    return WithMessage(message, [&](const char* buffer, size_t length) {
        // The engine's id is unsigned: a negative id keeps its bit pattern.
        return session.SendCustomCmdMsg(static_cast<uint32_t>(cmd_id), buffer, length, reliable, ordered) ? 1 : 0;
    });
}

void KWIXCloudWrapper::Close() noexcept {
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
    velmora::binding::RestoreThreadOrWait(saved);
    if (!failure.empty()) {
        // A destructor or an exit hook cannot raise: the failure goes where Python reports
        // errors that nobody can catch.
        PyErr_SetString(PyExc_RuntimeError, ("the engine failed to destroy a session: " + failure).c_str());
        PyErr_WriteUnraisable(nullptr);
    }
}

void KWIXCloudWrapper::Clear() noexcept {
    state_->RemoveSession(this);
    Close();
    delegate_.reset();
}

KWIXCloud& KWIXCloudWrapper::Session() const {
    if (kwix_cloud_ == nullptr) {
        throw std::runtime_error("the session is closed: the interpreter is shutting down");
    }
    return *kwix_cloud_;
}

template <typename Send>
int KWIXCloudWrapper::WithMessage(const py::bytes& message, Send&& send) {
    char* buffer = nullptr;
    Py_ssize_t buffer_len = 0;
    if (PyBytes_AsStringAndSize(message.ptr(), &buffer, &buffer_len) == -1) {
        PyErr_Print();
        return -1;
    }
    return send(buffer, static_cast<size_t>(buffer_len));
}

const char* KWIXCloudWrapper::UserId(const std::string& user_id) {
    if (user_id.find('\0') != std::string::npos) throw py::value_error("embedded null character in user_id");
    return user_id.c_str();
}

namespace velmora::binding {

namespace {

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

}  // namespace

void export_session(py::module_& m) {
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

}  // namespace velmora::binding
