// Direct C++ access to the read-only views of `torvo.ledger`, for the trading
// session, which updates `_values` of records and `_data` of maps on every
// commit.  `torvo.ledger` publishes one LedgerApi in the capsule
// "torvo.ledger._api"; a caller imports it once at module initialisation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/errors.h"

namespace torvo {

struct LedgerApi {
    // Layout version; bumped whenever this struct changes.
    int version;
    PyTypeObject *live_object_type;  // LiveObject (base of Account, Position, Order, Trade)
    PyTypeObject *live_map_type;     // LiveMap
    // Borrowed reference to the `_values` dict of a LiveObject instance (of
    // any subclass).  Null with TypeError for any other object, and with
    // ValueError for a record emptied by the garbage collector.
    PyObject *(*values)(PyObject *record);
    // Borrowed references to `_data` and `item_type` of a LiveMap instance;
    // null with an exception as above.
    PyObject *(*data)(PyObject *map);
    PyObject *(*item_type)(PyObject *map);
};

inline constexpr int kLedgerApiVersion = 1;
inline constexpr const char *kLedgerApiCapsule = "torvo.ledger._api";

// Imports torvo.ledger and returns its API; null with an exception set on
// failure (including a version mismatch).
inline const LedgerApi *import_ledger_api() noexcept {
    // The capsule lookup only walks attributes from the package down, so the
    // submodule has to be imported first.
    PyObject *module = PyImport_ImportModule("torvo.ledger");
    if (module == nullptr) return nullptr;
    Py_DECREF(module);
    auto *api = static_cast<const LedgerApi *>(PyCapsule_Import(kLedgerApiCapsule, 0));
    if (api != nullptr && api->version != kLedgerApiVersion)
        return errors::set_error(PyExc_ImportError, "torvo.ledger API version mismatch");
    return api;
}

}  // namespace torvo
