// Module `torvo.trading`: its initialisation, which binds the trading session
// classes `Native` and `Trading` and the module-level names in the order the
// module defines them.
//
// Where the bindings live: each binder is in the file of what it binds.
//   module_level.cpp   init_tables: the imports, tables and field readers
//   native.cpp         bind_native: the class Native
//   session.cpp        bind_trading: the class Trading (its methods are
//                      implemented in the files of their concerns: login,
//                      dispatch, snapshots, books, positions, orders, guard,
//                      commit)
//   guard.cpp          bind_guard: Trading's guard methods (pause, resume,
//                      counters, cancel_all, guard), called by bind_trading
//   common/coro.h      coro::bind: the coroutine type of the native methods
//   module.cpp         this initialisation, and the test hook `_probe`
#include "common/coro.h"
#include "globals.h"
#include "py.h"
#include "native.h"
#include "session.h"

using namespace nanobind::literals;

namespace torvo::trading {

namespace {

const char kModuleDoc[] = "CTP session, login snapshots and trade-driven local position state.";

// Private test hook for the coroutine adapter: awaits each awaitable in turn
// and returns the tuple of their results; an exception matching `catch`
// raised at an await is put in the tuple instead and the loop goes on.
coro::Coroutine probe_body(nb::handle awaitables, nb::handle catching, nb::handle results) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(awaitables.ptr()); ++i) {
        nb::object outcome;
        try {
            outcome = co_await nb::borrow(PyList_GET_ITEM(awaitables.ptr(), i));
        } catch (nb::python_error &e) {
            if (catching.is_none() || !e.matches(catching)) throw;
            outcome = nb::borrow(e.value());
        }
        check(PyList_Append(results.ptr(), outcome.ptr()));
    }
    co_return coro::result(check(PyList_AsTuple(results.ptr())));
}

}  // namespace

}  // namespace torvo::trading

NB_MODULE(trading, m) {
    using namespace torvo::trading;
    m.doc() = kModuleDoc;
    g.module_dict = nb::borrow(m.attr("__dict__")).release().ptr();
    init_names();
    init_tables(m);
    init_dispatch();
    bind_native(m);
    bind_trading(m);
    torvo::coro::bind(m, "_Coroutine");
    m.def(
        "_probe",
        [](nb::list awaitables, nb::handle catching) {
            nb::object steps = check(PySequence_List(awaitables.ptr()));
            nb::list results;
            return probe_body(steps, catching, results).bind(nb::none(), "_probe", steps, catching, results);
        },
        "awaitables"_a, "catch"_a.none() = nb::none(),
        "Test hook: awaits each awaitable in turn and returns the tuple of their results.");
}
