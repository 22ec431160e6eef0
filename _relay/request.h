// Request dispatch: a request name and a field dictionary become one vendor
// request record and one call of the vendor's request operation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ThostFtdcTraderApi.h"

namespace torvo::relay {

// Interns the request names.  Called once from module init; false with a
// Python exception set on failure.
bool init_requests() noexcept;

// Sends request `method` built from `fields` (a dict) through `api`; the
// vendor's int result, or null with an exception set.  Needs the interpreter
// lock, which it releases around the vendor call.
PyObject *send_request(CThostFtdcTraderApi *api, PyObject *method, PyObject *fields, int request_id) noexcept;

}  // namespace torvo::relay
