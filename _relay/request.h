// Request dispatch: a request name and a field dictionary become one vendor
// request record and one call of the vendor's request operation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "spi.h"

namespace torvo::relay {

// The error of a request on a closed session.
inline constexpr char kClosedMessage[] = "CTP 接口已关闭";

// Interns the request names.  Called once from module init; false with a
// Python exception set on failure.
bool init_requests() noexcept;

// Sends request `method` built from `fields` (a dict) through the vendor
// object of `session`; the vendor's int result, or null with an exception
// set.  Needs the interpreter lock, which it releases around the vendor call.
// The vendor object is read only once every field has converted: a
// conversion hook (__index__, __float__) may close the session meanwhile, or
// fork (a child reports its copy of the session closed).
// The vendor call is counted in `session.gate`, so a close() on another
// thread waits for it; the caller keeps the session alive meanwhile.
PyObject *send_request(QueueSpi &session, PyObject *method, PyObject *fields, int request_id) noexcept;

}  // namespace torvo::relay
