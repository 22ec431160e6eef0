// Raising, the one way every module does it, and the current Python error as
// an exception instance: take it off the thread, put one back, and chain one
// error to another (`raise error from cause`).  Shared by every extension
// module, on 3.11 (type, value, traceback) and on 3.12+ (one raised-exception
// object) alike.
//
// Two forms, named for what the call site does next:
//
//     return errors::set_error(PyExc_ValueError, "...");    // C API code: the
//                                                           // error is set, the caller returns
//     errors::throw_error(PyExc_ValueError, "...");         // C++ under nanobind: the error
//                                                           // is set and nb::python_error thrown
//
// Both take a message in UTF-8 (a printf-style format with arguments, as
// PyErr_Format reads it) or a Python object as the exception's argument, or
// no message at all; both have a `_from_current` variant that raises the new
// error from the one being handled (`raise error from cause`).  `set_error`
// returns a value that converts to a null pointer and to false, so that
// `return set_error(...)` fits a function returning either.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#if __has_include(<nanobind/nanobind.h>)
#  include <nanobind/nanobind.h>
#  define TORVO_ERRORS_THROW 1
#endif

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

// What `set_error` returns: a null pointer of any type, or false.
struct Failed {
    template <class T>
    operator T *() const noexcept { return nullptr; }
    operator bool() const noexcept { return false; }
    operator int() const = delete;  // C API ints report errors as -1: say so there
};

namespace detail {

inline void set(PyObject *type) noexcept { PyErr_SetNone(type); }
inline void set(PyObject *type, const char *utf8) noexcept { PyErr_SetString(type, utf8); }
// type(argument), made at once.
inline void set(PyObject *type, PyObject *argument) noexcept {
    if (PyObject *error = PyObject_CallOneArg(type, argument)) give(error);
}
#if defined(TORVO_ERRORS_THROW)
inline void set(PyObject *type, nanobind::handle argument) noexcept { set(type, argument.ptr()); }
#endif
template <class... Args>
void set(PyObject *type, const char *format, Args... args) noexcept {
    PyErr_Format(type, format, args...);
}

// type(...) raised from the error being handled now, which becomes its
// __cause__ and __context__.
template <class... Args>
void set_from_current(PyObject *type, Args... args) noexcept {
    PyObject *cause = take();
    set(type, args...);
    PyObject *error = take();
    if (error == nullptr) {  // made no instance: the failure to make it stays
        Py_XDECREF(cause);
        return;
    }
    give_from(error, cause);
}

}  // namespace detail

// The returning form: sets type(message) and returns null / false.
template <class... Args>
[[nodiscard]] Failed set_error(PyObject *type, Args... args) noexcept {
    detail::set(type, args...);
    return {};
}

template <class... Args>
[[nodiscard]] Failed set_error_from_current(PyObject *type, Args... args) noexcept {
    detail::set_from_current(type, args...);
    return {};
}

#if defined(TORVO_ERRORS_THROW)
// The throwing form: sets type(message) and throws nanobind's python_error.
template <class... Args>
[[noreturn]] void throw_error(PyObject *type, Args... args) {
    detail::set(type, args...);
    throw nanobind::python_error();
}

template <class... Args>
[[noreturn]] void throw_error_from_current(PyObject *type, Args... args) {
    detail::set_from_current(type, args...);
    throw nanobind::python_error();
}
#endif

}  // namespace torvo::errors
