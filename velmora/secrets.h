// Secrets in error messages. When arguments do not convert, the binding library's TypeError
// ends with "Invoked with: " and the repr of every argument given. For a function that takes
// a secret, that line is rewritten with the secret's value hidden; the rest of the message
// stays the library's.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

namespace velmora::binding {

struct SecretArgument {
    Py_ssize_t position;  // among the positional arguments
    const char* keyword;  // or passed by this keyword name (null: positional only)
};

inline constexpr SecretArgument kSocks5Password{3, "password"};
inline constexpr SecretArgument kSetterValue{1, nullptr};

// Calls the binding library's dispatcher and, when it fails with a TypeError that lists the
// arguments, rewrites the list with `secret` hidden.
PyObject* DispatchHidingSecret(const SecretArgument& secret, PyObject* self, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames);

template <const SecretArgument& Secret>
PyObject* DispatchHiding(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return DispatchHidingSecret(Secret, self, args, nargsf, kwnames);
}

// Routes calls of `function` (a function of the binding library) through the masking
// dispatcher above.
template <const SecretArgument& Secret>
void HideSecretInTypeErrors(const pybind11::object& function) {
    auto* c_function = reinterpret_cast<PyCFunctionObject*>(pybind11::detail::get_function(function).ptr());
    c_function->m_ml->ml_meth =
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&DispatchHiding<Secret>));
}

}  // namespace velmora::binding
