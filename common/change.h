// The change test shared by every module that publishes values: a new value
// counts as changed when `old != new`, except that NaN never differs from NaN.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>

namespace torvo {

inline bool both_nan(PyObject *a, PyObject *b) {
    return PyFloat_Check(a) && PyFloat_Check(b) && std::isnan(PyFloat_AS_DOUBLE(a)) &&
           std::isnan(PyFloat_AS_DOUBLE(b));
}

// 1 different, 0 the same, -1 with an exception set.  Not
// PyObject_RichCompareBool: that treats an object as equal to itself, while
// `old != new` asks the operands even then.
inline int differs(PyObject *old_value, PyObject *new_value) {
    if (both_nan(old_value, new_value)) return 0;
    PyObject *result = PyObject_RichCompare(old_value, new_value, Py_NE);
    if (result == nullptr) return -1;
    int answer = result == Py_False ? 0 : result == Py_True ? 1 : PyObject_IsTrue(result);
    Py_DECREF(result);
    return answer;
}

}  // namespace torvo
