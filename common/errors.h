// The current Python error as an exception instance: take it off the thread,
// put one back, and chain one error to another (`raise error from cause`).
// Shared by every extension module, on 3.11 (type, value, traceback) and on
// 3.12+ (one raised-exception object) alike.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace torvo::errors {

// Takes the raised exception (normalised, traceback attached) off the
// thread: a new reference, or null when none is set.
inline PyObject *take() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Makes `error` (an exception instance; the reference is stolen) the raised
// exception, leaving its context alone.  Null does nothing.
inline void give(PyObject *error) noexcept {
    if (error == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error);
#else
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(error));
    Py_INCREF(type);
    PyErr_Restore(type, error, PyException_GetTraceback(error));
#endif
}

// `raise error from cause`: both references are stolen; `cause` may be null.
inline void give_from(PyObject *error, PyObject *cause) noexcept {
    if (cause != nullptr) {
        Py_INCREF(cause);
        PyException_SetContext(error, cause);
        PyException_SetCause(error, cause);
    }
    give(error);
}

// Raises type(message) from the exception being handled now.  Returns null,
// for `return raise_from_current(...)` in C API code.
inline PyObject *raise_from_current(PyObject *type, PyObject *message) noexcept {
    PyObject *cause = take();
    PyObject *error = PyObject_CallOneArg(type, message);
    if (error == nullptr) {
        Py_XDECREF(cause);
        return nullptr;
    }
    give_from(error, cause);
    return nullptr;
}

}  // namespace torvo::errors
