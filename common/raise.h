// Raising Python exceptions with fixed (UTF-8, often Chinese) messages from
// C++ written against the C API.  Each returns null so a caller can write
// `return raise(PyExc_ValueError, "...");`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace torvo {

inline PyObject *raise(PyObject *type, const char *utf8_message) noexcept {
    PyErr_SetString(type, utf8_message);
    return nullptr;
}

// `message` is a format with one %s, replaced by `name` (UTF-8).
inline PyObject *raise_named(PyObject *type, const char *message, const char *name) noexcept {
    PyErr_Format(type, message, name);
    return nullptr;
}

// An exception with no arguments at all, e.g. a bare TimeoutError().
inline PyObject *raise_bare(PyObject *type) noexcept {
    PyErr_SetNone(type);
    return nullptr;
}

}  // namespace torvo
