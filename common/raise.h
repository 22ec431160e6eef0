// Raising Python exceptions with fixed (UTF-8, often Chinese) messages from
// C++ written against the C API.  Each returns null so a caller can write
// `return raise(PyExc_ValueError, "...");`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace torvo {

inline PyObject *raise(PyObject *type, const char *utf8_message) noexcept {
    PyErr_SetString(type, utf8_message);
    return nullptr;
}

// `message` holds one "%s", replaced by `name`; both UTF-8.  (The C API's
// formatting functions accept only ASCII formats, so the text is built here.)
inline PyObject *raise_named(PyObject *type, const char *message, const char *name) noexcept {
    std::string text(message);
    if (auto at = text.find("%s"); at != std::string::npos) text.replace(at, 2, name);
    PyErr_SetString(type, text.c_str());
    return nullptr;
}

// An exception with no arguments at all, e.g. a bare TimeoutError().
inline PyObject *raise_bare(PyObject *type) noexcept {
    PyErr_SetNone(type);
    return nullptr;
}

}  // namespace torvo
