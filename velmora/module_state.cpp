#include "exports.h"

#include <stdexcept>
#include <vector>

#include "module_state.h"
#include "session.h"

namespace py = pybind11;

namespace velmora::binding {

namespace {

constexpr const char* kKey = "_velmora.module_state";

}  // namespace

py::capsule ModuleState::Owner() {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dict == nullptr) throw std::runtime_error("the interpreter has no state dictionary");
    PyObject* found = PyDict_GetItemString(dict, kKey);
    if (found != nullptr) return py::reinterpret_borrow<py::capsule>(found);
    py::capsule owner(new ModuleState(), [](void* state) { delete static_cast<ModuleState*>(state); });
    if (PyDict_SetItemString(dict, kKey, owner.ptr()) != 0) throw py::error_already_set();
    return owner;
}

ModuleState::ModuleState() : delegate_type_(py::detail::get_type_info(typeid(kwix::KWIXCloudDelegate))) {
    FindCopiedTypes(std::make_index_sequence<std::tuple_size<CopiedTypes>::value>());
    names_.fill(nullptr);
    for (size_t i = 0; i < kCallbackNameCount; ++i) {
        names_[i] = PyUnicode_InternFromString(kCallbackNames[i]);
        if (names_[i] == nullptr) throw py::error_already_set();
    }
}

ModuleState::~ModuleState() {
    for (PyObject* name : names_) Py_XDECREF(name);
}

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

}  // namespace velmora::binding
