// Internal declarations of the `torvo.ledger` extension module: the object
// layouts of the two read-only views and the builders that module
// initialisation calls.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace torvo::ledger {

// Member-table constants under their current names (older interpreters keep
// them in structmember.h).
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr int kMemberObject = Py_T_OBJECT_EX;
inline constexpr int kMemberReadOnly = Py_READONLY;
#else
inline constexpr int kMemberObject = T_OBJECT_EX;
inline constexpr int kMemberReadOnly = READONLY;
#endif

// Message of every write to a read-only view.
inline constexpr const char *kReadOnly = "SDK 交易数据对象为只读";

// Instance layout of LiveObject and of every subclass (subclasses made in
// Python with `__slots__ = ()` add nothing in front of it).
struct LiveObjectData {
    PyObject_HEAD
    PyObject *values;  // dict; null only after a garbage-collector clear
};

// Instance layout of LiveMap.
struct LiveMapData {
    PyObject_HEAD
    PyObject *data;       // dict, key to record; null only after a clear
    PyObject *item_type;  // record class of the values
};

// The builders below run at module initialisation.  Each creates its object
// once per process and returns a borrowed reference to it afterwards; on
// failure it throws nanobind::python_error.

// LiveObject.
PyTypeObject *live_object_type();
// Remembers the blank value dictionary of a record type whose class
// attribute `fields` is the tuple `fields`, so that construction copies it
// instead of building it key by key.
void add_blank_template(PyObject *fields);

// Account, Position, Order, Trade (index 0..3), Python subclasses of
// LiveObject.
inline constexpr int kRecordTypes = 4;
PyObject *record_type(int which);

// LiveMap, registered as a collections.abc.Mapping.
PyTypeObject *live_map_type();

// CtpAccount and TradingResult, frozen dataclasses.
PyObject *ctp_account_type();
PyObject *trading_result_type();
// TradingGuard, the session's limits, a frozen dataclass (guard.cpp).
PyObject *trading_guard_type();

// The names of the position-accounting quantities, in order (a new list).
PyObject *internal_fields_list();
// The module function empty_position(symbol, updated_at=None), in a table
// for PyModule_AddFunctions (which keeps pointers into it).
extern PyMethodDef position_functions[];

}  // namespace torvo::ledger
