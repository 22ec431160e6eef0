// Internals shared by the source files of `torvo.data`.
//
// Every object made here lives from module initialisation to the end of the
// process: the functions that read it may still run while the interpreter
// shuts down, so none of it is ever released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/intern.h"
#include "common/ref.h"

namespace nanobind {
class module_;
}

namespace torvo::data {

// Column names of a K-line bar, in frame order; also the keys of a decoded
// bar message.
enum Column : int {
    kTimestamp,
    kTradingDay,
    kOpen,
    kHigh,
    kLow,
    kClose,
    kVolume,
    kTurnover,
    kOpenInterest,
    kColumns
};

// Interned names used by more than one file.
struct Names {
    Interned column[kColumns];
    Interned bids, asks;
};
const Names &names();

// A str made once from a UTF-8 literal; false with an exception set on failure.
bool make_text(Ref &slot, const char *utf8);

// --- errors.cpp -----------------------------------------------------------
bool init_errors(PyObject *module);
PyObject *ex_error_type();
// Takes the raised exception (normalised) off the thread; null if none.
Ref take_raised();
// Raises `error` again as it stands, its context untouched.
void set_raised(Ref error);

// --- values.cpp -----------------------------------------------------------
bool init_values(PyObject *module);
// math.nan, the value of a missing number (borrowed).
PyObject *missing_value();
// The market-data number conversion: a new reference to a float, or null
// with ExError set.  None gives NaN.
PyObject *to_number(PyObject *value);
// The change test as a truth value: 1 different, 0 same, -1 error.
int differs(PyObject *old_value, PyObject *new_value);

// --- decode.cpp -----------------------------------------------------------
bool init_decode(PyObject *module);

// --- quote.cpp ------------------------------------------------------------
bool init_quote(PyObject *module);

// --- serial.cpp -----------------------------------------------------------
// Binds Serial; throws like any nanobind binding code.
void init_serial(nanobind::module_ &module);

}  // namespace torvo::data
