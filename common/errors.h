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
// `return set_error(...)` fits a function returning either; a C API function
// that reports failure as an int -1 says so where it returns:
//
//     (void)errors::set_error(PyExc_AttributeError, "..."); return -1;
//
// An object argument is raised as `raise type(argument)` is: a new instance,
// whose context is the exception being handled at the time, if any.
// `set_error_from_none` raises without showing that context
// (`raise error from None`).
//
// Errors the host words itself have their own returning forms:
// `set_no_memory()` (MemoryError) and `set_error_from_system(type, code)`
// (an OSError, or a subclass, with the host's message for a system error
// code: a Windows error code on Windows, an errno value elsewhere, so
// `set_error_from_system(PyExc_OSError, errno)` after a failed POSIX call).
//
// The throwing form is there when nanobind's headers are: a module written
// on the C API alone (_relay) defines TORVO_C_API_ONLY and gets the
// returning form only, whatever is on its include path.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <utility>

#if !defined(TORVO_C_API_ONLY) && __has_include(<nanobind/nanobind.h>)
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
// type(argument), made at once and raised as `raise` raises it (the error
// being handled, if any, becomes its context).
inline void set(PyObject *type, PyObject *argument) noexcept {
    PyObject *error = PyObject_CallOneArg(type, argument);
    if (error == nullptr) return;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error)), error);
    Py_DECREF(error);
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

// type(...) with its context hidden, as `raise ... from None` leaves it.
template <class... Args>
void set_from_none(PyObject *type, Args... args) noexcept {
    set(type, args...);
    PyObject *error = take();
    if (error == nullptr) return;
    PyException_SetCause(error, nullptr);  // also sets __suppress_context__
    give(error);
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

template <class... Args>
[[nodiscard]] Failed set_error_from_none(PyObject *type, Args... args) noexcept {
    detail::set_from_none(type, args...);
    return {};
}

// MemoryError, as the host raises it when an allocation fails.
[[nodiscard]] inline Failed set_no_memory() noexcept {
    PyErr_NoMemory();
    return {};
}

// type (an OSError or a subclass) for the system error `code`: a Windows
// error code on Windows (a socket call's included), an errno value
// elsewhere.
[[nodiscard]] inline Failed set_error_from_system(PyObject *type, int code) noexcept {
#if defined(_WIN32)
    PyErr_SetExcFromWindowsErr(type, code);
#else
    errno = code;
    PyErr_SetFromErrno(type);
#endif
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
