// Texts between Python and the engine's C strings.
//
// To the engine: None is a null pointer, a str its UTF-8 encoding, a bytes or bytearray its own
// bytes. From the engine: a null pointer is None, anything else strict UTF-8.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace velmora::binding {

// A text on its way to the engine as a C string. The caster keeps the Python object alive for
// the call, so `data` stays valid until the engine function returns.
struct Text {
    const char* data = nullptr;
    size_t size = 0;

    // The engine reads a C string up to its first NUL, so a text with a NUL inside would
    // reach it cut short and the engine would act on another text than the caller gave.
    const char* c_str(const char* argument) const {
        if (data != nullptr && std::memchr(data, '\0', size) != nullptr) {
            throw pybind11::value_error(std::string("embedded null character in ") + argument);
        }
        return data;
    }
};

// Text from the engine: None for a null pointer, else strict UTF-8. Inline: every callback
// with a user id runs it.
inline pybind11::object TextToPython(const char* text) {
    if (text == nullptr) return pybind11::none();
    PyObject* s = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "strict");
    if (s == nullptr) throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::object>(s);
}

}  // namespace velmora::binding

namespace pybind11 {
namespace detail {

template <>
struct type_caster<velmora::binding::Text> {
    // Shown as `str` in generated signatures: it takes what a str parameter takes, plus None.
    PYBIND11_TYPE_CASTER(velmora::binding::Text, const_name("str"));

    bool load(handle src, bool /*convert*/) {
        using velmora::binding::Text;
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

    static handle cast(const velmora::binding::Text& text, return_value_policy, handle) {
        return velmora::binding::TextToPython(text.data).release();
    }
};

}  // namespace detail
}  // namespace pybind11
