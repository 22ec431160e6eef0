// Native: the one bridge session a Trading session talks through.
#pragma once

#include "globals.h"

namespace torvo::trading {

class Native {
public:
    // Imports the bridge, builds the flow path and opens a bridge session.
    Native(nb::handle config, nb::handle directory);

    nb::object request(nb::handle method, nb::handle data, nb::handle request_id);
    nb::object poll();
    void close();
    // The bridge session's wake-up socket; None when the bridge module has
    // no wake-up (a stand-in module set through `module`).
    nb::object wakeup();

    nb::object module() const { return module_; }
    void set_module(nb::object module);
    nb::object handle() const { return handle_; }
    void set_handle(nb::object handle) { handle_ = std::move(handle); }

    static int tp_traverse(PyObject *self, visitproc visit, void *arg);
    static int tp_clear(PyObject *self);

private:
    // module.<name>, looked up once per module object.
    nb::handle fn(nb::object &cache, PyObject *name);

// The references a Native holds, listed once: the members, the collector's
// view and the clear are made from it.  X(member, value after a clear)
#define TORVO_NATIVE_REFS(X)                                                    \
    X(module_, nb::none()) /* the bridge module */                             \
    X(handle_, nb::none()) /* the bridge session (a capsule) */                \
    X(request_fn_, nb::object()) /* module.request, looked up once */          \
    X(poll_fn_, nb::object())                                                  \
    X(close_fn_, nb::object())

#define TORVO_DECLARE_REF(member, cleared) nb::object member;
    TORVO_NATIVE_REFS(TORVO_DECLARE_REF)
#undef TORVO_DECLARE_REF
};

// The Native behind `obj` when it is exactly a Native, else null: a Python
// subclass may override request, poll or close, so it is called through its
// attributes like any other bridge object.
Native *exact_native(nb::handle obj);

void bind_native(nb::module_ &m);

}  // namespace torvo::trading
