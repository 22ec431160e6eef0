// Argument binding for the module's vectorcall functions: positional and
// keyword arguments are matched to named parameters without building a
// tuple or a dictionary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace torvo::data {

struct Signature {
    const char *function;       // for messages, e.g. "decode"
    const char *const *names;   // every parameter, positional ones first
    int positional;             // how many may be passed by position
    int count;                  // how many parameters there are
    int required;               // the first `required` must be given
};

// Fills out[0 .. count) with borrowed references (null for an omitted
// optional parameter).  False with TypeError set on a mismatch.
inline bool bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                 PyObject *kwnames, PyObject **out) {
    if (nargs > sig.positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd were given",
                     sig.function, sig.positional, sig.positional == 1 ? "" : "s", nargs);
        return false;
    }
    for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            int slot = -1;
            for (int i = 0; i < sig.count; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
                    slot = i;
                    break;
                }
            }
            if (slot < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             sig.function, key);
                return false;
            }
            if (out[slot] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             sig.function, sig.names[slot]);
                return false;
            }
            out[slot] = args[nargs + k];
        }
    }
    for (int i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", sig.function,
                         sig.names[i]);
            return false;
        }
    }
    return true;
}

}  // namespace torvo::data
