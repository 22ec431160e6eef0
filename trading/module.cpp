// Module `torvo.trading`: the trading session classes `Native` and `Trading`,
// the module tables and field readers, bound in the order the module
// defines them.
#include <new>

#include "common/coro.h"
#include "module.h"
#include "native.h"
#include "session.h"

using namespace nanobind::literals;

namespace torvo::trading {

namespace {

using Self = nb::pointer_and_handle<Trading>;

const char kModuleDoc[] = "CTP session, login snapshots and trade-driven local position state.";
const char kTradingDoc[] = "Private protocol state is committed to user objects only by wait_update.";

// A value that must be a dict or None.
nb::object dict_or_none(nb::handle value, const char *what) {
    if (!value.is_none() && !PyDict_Check(value.ptr()))
        raise(PyExc_TypeError, concat({nb::str(what), nb::str(" 必须是 dict 或 None")}));
    return nb::borrow(value);
}

// A value that must be an int or None.
nb::object int_or_none(nb::handle value, const char *what) {
    if (!value.is_none() && !PyLong_Check(value.ptr()))
        raise(PyExc_TypeError, concat({nb::str(what), nb::str(" 必须是 int 或 None")}));
    return nb::borrow(value);
}

// Private test hook for the coroutine adapter: awaits each awaitable in turn
// and returns the tuple of their results; an exception matching `catch`
// raised at an await is put in the tuple instead and the loop goes on.
coro::Coroutine probe_body(nb::handle state) {
    nb::handle awaitables = PyList_GET_ITEM(state.ptr(), 0);
    nb::handle catching = PyList_GET_ITEM(state.ptr(), 1);
    nb::handle results = PyList_GET_ITEM(state.ptr(), 2);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(awaitables.ptr()); ++i) {
        nb::object outcome;
        try {
            outcome = co_await nb::borrow(PyList_GET_ITEM(awaitables.ptr(), i));
        } catch (nb::python_error &e) {
            if (catching.is_none() || !e.matches(catching)) throw;
            outcome = nb::borrow(e.value());
        }
        if (PyList_Append(results.ptr(), outcome.ptr()) < 0) throw nb::python_error();
    }
    co_return check(PyList_AsTuple(results.ptr()));
}

}  // namespace

void bind_trading(nb::module_ &m) {
    static PyType_Slot slots[] = {
        {Py_tp_traverse, (void *)&Trading::tp_traverse},
        {Py_tp_clear, (void *)&Trading::tp_clear},
        {0, nullptr},
    };
    nb::class_<Trading> cls(m, "Trading", nb::type_slots(slots), nb::is_weak_referenceable(), kTradingDoc);
    cls.def(
        "__init__",
        [](Trading *self, nb::object config, nb::object timeout, nb::dict objects, nb::object factory) {
            new (self) Trading(std::move(config), std::move(timeout), std::move(objects), std::move(factory));
        },
        "config"_a.none(), "timeout"_a.none(), "objects"_a, nb::kw_only(),
        "native_factory"_a.none() = nb::type<Native>(),
        nb::sig("def __init__(self, config: CtpAccount | None, timeout: float, objects: dict[int, object], "
                "*, native_factory: Callable[[CtpAccount, str], Native] = Native) -> None"));

    // ---- attributes -------------------------------------------------------
    // Object-valued attributes accept None; the signatures describe the getters.
    const auto nullable = nb::for_setter(nb::arg("value").none());
    const auto getter_sig = [](const char *text) { return nb::for_getter(nb::sig(text)); };
    cls.def_prop_rw(
        "config", [](const Trading &t) { return t.config; },
        [](Trading &t, nb::object value) { t.set_config(std::move(value)); },
        nullable, getter_sig("def config(self) -> CtpAccount | None"));
    cls.def_prop_rw(
        "timeout", [](const Trading &t) { return t.timeout; },
        [](Trading &t, nb::object value) { t.set_timeout(std::move(value)); },
        nullable, getter_sig("def timeout(self) -> float"));
    cls.def_rw("objects", &Trading::objects);
    cls.def_rw("factory", &Trading::factory, nullable);
    cls.def_rw("account", &Trading::account, nullable);
    cls.def_rw("session_status", &Trading::session_status);
    cls.def_rw("published_status", &Trading::published_status);
    cls.def_rw("positions", &Trading::positions, nullable);
    cls.def_rw("orders", &Trading::orders, nullable);
    cls.def_rw("trades", &Trading::trades);
    cls.def_rw("trade_views", &Trading::trade_views);
    cls.def_rw("a", &Trading::a);
    cls.def_rw("p", &Trading::p);
    cls.def_rw("o", &Trading::o);
    cls.def_rw("t", &Trading::t);
    cls.def_rw("native_orders", &Trading::native_orders);
    cls.def_rw("instruments", &Trading::instruments);
    cls.def_rw("ref_orders", &Trading::ref_orders);
    cls.def_rw("system_orders", &Trading::system_orders);
    cls.def_rw("pending_trades", &Trading::pending_trades);
    cls.def_rw("live_trade_buffer", &Trading::live_trade_buffer);
    cls.def_rw("trade_before", &Trading::trade_before);
    cls.def_prop_rw(
        "position_candidate", [](const Trading &t) { return t.position_candidate; },
        [](Trading &t, nb::handle v) { t.position_candidate = dict_or_none(v, "position_candidate"); },
        nullable, getter_sig("def position_candidate(self) -> dict | None"));
    cls.def_rw("position_ready", &Trading::position_ready);
    cls.def_rw("pending", &Trading::pending);
    cls.def_prop_rw(
        "inflight", [](const Trading &t) { return t.inflight; },
        [](Trading &t, nb::handle v) { t.inflight = dict_or_none(v, "inflight"); },
        nullable, getter_sig("def inflight(self) -> dict | None"));
    cls.def_rw("sync_index", &Trading::sync_index);
    cls.def_rw("last_query", &Trading::last_query);
    cls.def_rw("last_account_refresh", &Trading::last_account_refresh);
    cls.def_rw("request_id", &Trading::request_id);
    cls.def_rw("order_ref", &Trading::order_ref);
    cls.def_rw("order_revisions", &Trading::order_revisions);
    cls.def_rw("revision", &Trading::revision);
    cls.def_rw("front", &Trading::front, nullable, getter_sig("def front(self) -> int"));
    cls.def_rw("session", &Trading::session, nullable, getter_sig("def session(self) -> int"));
    cls.def_rw("day", &Trading::day);
    cls.def_prop_rw(
        "phase", [](const Trading &t) { return t.phase; },
        [](Trading &t, nb::handle v) { t.set_phase(v); }, getter_sig("def phase(self) -> str"));
    cls.def_prop_rw(
        "phase_id", [](const Trading &t) { return t.phase_id; },
        [](Trading &t, nb::handle v) { t.phase_id = int_or_none(v, "phase_id"); },
        nullable, getter_sig("def phase_id(self) -> int | None"));
    cls.def_rw("phase_time", &Trading::phase_time);
    cls.def_rw("phase_data", &Trading::phase_data);
    cls.def_rw("task", &Trading::task, nullable, getter_sig("def task(self) -> asyncio.Task[None] | None"));
    cls.def_rw("native", &Trading::native, nullable, getter_sig("def native(self) -> Native | None"));
    cls.def_rw("error", &Trading::error, nullable, getter_sig("def error(self) -> ExError | None"));
    cls.def_rw("dirty", &Trading::dirty);
    cls.def_rw("changed", &Trading::changed, nullable, getter_sig("def changed(self) -> asyncio.Event"));
    cls.def_rw("directory", &Trading::directory, nullable, getter_sig("def directory(self) -> str | None"));
    cls.def_rw("reset_pending", &Trading::reset_pending);
    cls.def_rw("recovery", &Trading::recovery, nullable, getter_sig("def recovery(self) -> Recovery"));
    cls.def_rw("query_recovery", &Trading::query_recovery, nullable, getter_sig("def query_recovery(self) -> Recovery"));
    cls.def_prop_rw(
        "published_position_time", [](const Trading &t) { return t.published_position_time; },
        [](Trading &t, nb::handle v) { t.published_position_time = int_or_none(v, "published_position_time"); },
        nullable, getter_sig("def published_position_time(self) -> int | None"));

    // ---- lifecycle --------------------------------------------------------
    cls.def("start", [](Self self) { self.p->start(self.h); });
    cls.def(
        "run", [](Self self) { return run_body(self.p).bind(self.h, "Trading.run"); },
        nb::sig("def run(self) -> Coroutine[Any, Any, None]"));
    cls.def(
        "close", [](Self self) { return close_body(self.p).bind(self.h, "Trading.close"); },
        nb::sig("def close(self) -> Coroutine[Any, Any, None]"));
    cls.def("_open_native", &Trading::open_native);
    cls.def("_close_native", &Trading::close_native);
    cls.def("_clear_cache", [](Trading &t, nb::str status) { t.clear_cache(status); }, "status"_a);
    cls.def("_touch", &Trading::touch);
    cls.def("_status", [](Trading &t, nb::str value) { t.set_status(value); }, "value"_a);

    // ---- login synchronisation --------------------------------------------
    cls.def(
        "_request",
        [](Trading &t, nb::str method, nb::handle fields) {
            auto [rid, code] = t.request(method, fields);
            return nb::make_tuple(rid, code);
        },
        "method"_a, "fields"_a.none() = nb::none(),
        nb::sig("def _request(self, method: str, fields: dict | None = None) -> tuple[int, int]"));
    cls.def(
        "_phase_request",
        [](Trading &t, nb::str phase, nb::str method, nb::handle data) { t.phase_request(phase, method, data); },
        "phase"_a, "method"_a, "data"_a.none() = nb::none(),
        nb::sig("def _phase_request(self, phase: str, method: str, data: dict | None = None) -> None"));
    cls.def("_schedule_account", &Trading::schedule_account);
    cls.def("tick", &Trading::tick, "now"_a);
    cls.def(
        "_query_error", [](Trading &t, nb::handle code, nb::handle message) { t.query_error(code, message); },
        "code"_a.none(), "message"_a.none(), nb::sig("def _query_error(self, code: int, message: str) -> None"));

    // ---- dispatch ---------------------------------------------------------
    cls.def(
        "event", [](Trading &t, nb::handle event) { t.event(event); }, "event"_a.none(),
        nb::sig("def event(self, event: dict[str, object]) -> None"));
}

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
            nb::list state;
            state.append(check(PySequence_List(awaitables.ptr())));
            state.append(catching);
            state.append(nb::list());
            return probe_body(state).bind(state, "_probe");
        },
        "awaitables"_a, "catch"_a.none() = nb::none(),
        "Test hook: awaits each awaitable in turn and returns the tuple of their results.");
}
