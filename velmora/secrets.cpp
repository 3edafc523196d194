#include "secrets.h"

#include <cstring>
#include <string>

namespace py = pybind11;

namespace velmora::binding {

namespace {

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

}  // namespace

PyObject* DispatchHidingSecret(const SecretArgument& secret, PyObject* self, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) {
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
        const std::string masked = prefix + InvokedWith(args, count, kwnames, &secret) + rest;
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

}  // namespace velmora::binding
