// Trading: construction, start, the run loop and its wait between passes,
// opening and closing the bridge, the cache reset, the change signal, and
// close.
//
// The wait between passes.  The bridge writes one byte into its wake-up
// socket when an event lands in its empty queue.  After a pass the run loop
// awaits a future that ends at the first of: the receive on that socket
// finishing (a task, kept across passes while nothing arrives), or a 10 ms
// timer, so `tick` still runs every 10 ms.  A pass runs without yielding, so
// a byte the receive read came before that pass's poll: the next receive,
// started after the pass, sees only bytes written after the poll.  No
// wake-up is lost, a burst is drained in one pass, and every pass yields to
// the other tasks.  A bridge object without a wake-up (a test double), or
// one whose socket failed, keeps the plain 10 ms sleep.
#include "session.h"

#include <deque>
#include <new>
#include <string>

#include "native.h"

using namespace nanobind::literals;

namespace torvo::trading {

namespace {

void register_object(nb::dict &objects, nb::handle obj) { dict_store(objects, id_of(obj), obj); }

nb::object new_account(nb::handle config) {
    nb::object account_id = truthy(config) ? attr(config, names.user_id) : nb::none();
    return call_kw(g.Account, {}, {{names.account_id, account_id}});
}

nb::dict values_of(nb::handle account) {
    nb::dict copy;
    update(copy, attr(account, names._values));
    return copy;
}

// The status a session starts in: SYNCING, or ERROR without a config.
nb::str first_status(nb::handle config) { return nb::borrow<nb::str>(truthy(config) ? names.SYNCING : names.ERROR); }

// `timeout` in seconds.  0 or less would never contact the front, NaN or
// infinity switch every time limit off: neither can work.
double seconds_of(nb::handle timeout) {
    double seconds = to_double(timeout);
    if (!(std::isfinite(seconds) && seconds > 0)) errors::throw_error(PyExc_ValueError, "timeout 必须是大于 0 的有限秒数");
    return seconds;
}

// {symbol: an empty position} for every symbol the user's positions view holds.
nb::dict empty_positions(nb::handle positions) {
    nb::dict fresh;
    for (nb::handle symbol : positions) dict_store(fresh, symbol, nb::handle(g.empty_position)(symbol));
    return fresh;
}

// Whether `event` is an asyncio.Event already set, by its own flag; false
// for any other object.
bool already_set(nb::handle event) {
    if (Py_TYPE(event.ptr()) != reinterpret_cast<PyTypeObject *>(g.AsyncioEvent)) return false;
    PyObject *flag = PyObject_GetAttr(event.ptr(), names.value_);
    if (flag == nullptr) {
        PyErr_Clear();  // not the Event we know: call its set()
        return false;
    }
    Py_DECREF(flag);
    return flag == Py_True;
}

// asyncio.gather(task, return_exceptions=True)
nb::object gather_quietly(nb::handle task) {
    return call_kw(asyncio_attr(names.gather), {task}, {{names.return_exceptions, Py_True}});
}

nb::object sleep(double seconds) { return nb::handle(asyncio_attr(names.sleep))(seconds); }

}  // namespace

Phase phase_of(nb::handle word) {
    static const std::pair<PyObject *const *, Phase> known[] = {
        {&names.connecting, Phase::Connecting}, {&names.authenticate, Phase::Authenticate},
        {&names.login, Phase::Login},           {&names.settlement, Phase::Settlement},
        {&names.sync, Phase::Sync},             {&names.ready, Phase::Ready},
    };
    for (auto [name, phase] : known)
        if (equals_text(word, *name)) return phase;
    return Phase::Other;
}

Trading::Trading(nb::object config_, nb::object timeout_, nb::dict objects_, nb::object factory_)
    : config(std::move(config_)), timeout(std::move(timeout_)), objects(std::move(objects_)),
      factory(std::move(factory_)) {
    using namespace state;
#define TORVO_START_FIELD(member, py, type, starts, on_reset, bind, sig) \
    state::start(member, [&] { return starts; });
    TORVO_TRADING_STATE(TORVO_START_FIELD)
#undef TORVO_START_FIELD
    // The published objects, by id, for the user's views.
    for (nb::handle published : std::initializer_list<nb::handle>{account, positions, orders, trades})
        register_object(objects, published);
}

void Trading::set_config(nb::object value) {
    config = std::move(value);
    broker_id_.reset();
    user_id_.reset();
}

void Trading::set_timeout(nb::object value) {
    timeout_s = seconds_of(value);
    timeout = std::move(value);
}

void Trading::set_phase(nb::handle word) {
    if (!PyUnicode_Check(word.ptr())) errors::throw_error(PyExc_TypeError, "phase 必须是 str");
    phase = nb::borrow<nb::str>(word);
    phase_code = phase_of(word);
}

void Trading::touch() {
    dirty = true;
    // asyncio.Event.set() does nothing on an event already set; that is
    // skipped (a call into Python on every order return and trade) when the
    // event's own flag says so.  Any other object is always called.
    if (!already_set(changed)) call_method(changed, names.set);
}

void Trading::set_status(nb::handle value) {
    if (!PyUnicode_Check(value.ptr())) errors::throw_error(PyExc_TypeError, "session_status 必须是 str");
    session_status = nb::borrow<nb::str>(value);
    touch();
}

void Trading::clear_cache(nb::handle status) {
    if (!PyUnicode_Check(status.ptr())) errors::throw_error(PyExc_TypeError, "session_status 必须是 str");
    using namespace state;
#define TORVO_RESET_FIELD(member, py, type, starts, on_reset, bind, sig) \
    state::reset(member, on_reset, [&] { return starts; });
    TORVO_TRADING_STATE(TORVO_RESET_FIELD)
#undef TORVO_RESET_FIELD
    touch();
}

void Trading::start(nb::handle self) {
    if (config.is_none() || !task.is_none() || closed_) return;
    nb::object coroutine = nb::cast(run_body(this).bind(self, "Trading.run"), nb::rv_policy::move);
    task = check(PyObject_CallOneArg(asyncio_attr(names.create_task).ptr(), coroutine.ptr()));
}

// The wake-up socket of a bridge object: Native's, or what a `wakeup()` of
// another bridge object returns; None for an object without one.
nb::object wakeup_of(nb::handle native) {
    if (Native *bridge = exact_native(native)) return bridge->wakeup();
    nb::object fn = nb::steal(PyObject_GetAttr(native.ptr(), names.wakeup));
    if (!fn.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return nb::none();
    }
    return check(PyObject_CallNoArgs(fn.ptr()));
}

void Trading::open_native() {
    disarm();  // a receive on an earlier bridge's socket must not stand for this one's
    if (directory.is_none()) {
        directory = call_kw(module_attr(names.mkdtemp), {}, {{names.prefix, names.flow_prefix}});
    }
    native = factory(config, directory);
    wake_ = wakeup_of(native);
}

void Trading::close_native() {
    disarm();
    if (native.is_none()) return;
    if (Native *bridge = exact_native(native))
        bridge->close();
    else
        call_method(native, names.close);
    native = nb::none();
}

void Trading::pass() {
    if (native.is_none()) open_native();
    if (!equals_text(session_status, names.READY)) call_method(recovery, names.check);
    Native *bridge = exact_native(native);
    nb::object events = bridge != nullptr ? bridge->poll() : call_method(native, names.poll);
    for (nb::handle record : events) event(record);
    tick(monotonic());
}

bool Trading::pass_or_recover() {
    nb::object failure;
    try {
        pass();
        return false;
    } catch (nb::python_error &e) {
        if (!means_resync(e)) throw;
        failure = nb::borrow(e.value());
    }
    // Outside the handler: anything raised here ends the session.
    note_failure(std::move(failure));
    recover();
    return true;
}

void Trading::note_failure(nb::object failure) { last_failure = nb::make_tuple(failure, int_of(now_ms())); }

void Trading::recover() {
    call_method(recovery, names.fail);
    clear_cache(nb::handle(names.SYNCING));
    set_phase(nb::handle(names.connecting));
    phase_time = monotonic();
    close_native();
}

// ---------------------------------------------------------------------------
// The wait between passes
// ---------------------------------------------------------------------------

bool done(nb::handle future) { return call_method(future, names.done).ptr() == Py_True; }

bool present(const nb::object &ref) { return ref.is_valid() && !ref.is_none(); }

nb::object Trading::pass_wait() {
    if (!present(wake_)) return sleep(0.01);
    if (!present(loop_)) loop_ = asyncio_attr(names.get_running_loop)();
    if (!present(wake_callback_)) wake_callback_ = attr(nb::find(this), names._wake);
    // A receive that ended read its bytes before this pass's poll (the pass
    // runs without yielding), so whatever they announced was taken: a new
    // receive sees only what comes after.  One that failed or met the end of
    // the stream means the socket is gone (the bridge closed under the
    // session): the timed pass takes over, and the next poll reports it.
    if (present(wake_task_) && done(wake_task_)) {
        nb::object finished = std::move(wake_task_);
        wake_task_ = nb::none();
        if (!truthy(call_method(finished, names.cancelled))) {
            nb::object failure = call_method(finished, names.exception);  // retrieved: no log line
            if (!failure.is_none() || !truthy(call_method(finished, names.result))) {
                wake_ = nb::none();
                return sleep(0.01);
            }
        }
    }
    if (!present(wake_task_)) {
        nb::object receive = call_method(loop_, names.sock_recv, {wake_, int_of(256)});
        wake_task_ = call_method(loop_, names.create_task, {receive});
        call_method(wake_task_, names.add_done_callback, {wake_callback_});
    }
    wait_ = call_method(loop_, names.create_future);
    static PyObject *const ten_ms = PyFloat_FromDouble(0.01);  // kept for the life of the process
    wait_timer_ = call_method(loop_, names.call_later, {check_borrowed(ten_ms), wake_callback_, wait_});
    return wait_;
}

void Trading::end_wait() {
    if (present(wait_timer_)) call_method(wait_timer_, names.cancel);
    wait_timer_ = nb::none();
    wait_ = nb::none();
}

void Trading::wake(nb::handle source) {
    // Only the current wait's timer or the current receive ends it.
    if (!present(wait_) || (!source.is(wait_) && !source.is(wake_task_)) || done(wait_)) return;
    call_method(wait_, names.set_result, {nb::none()});
}

void Trading::disarm_quietly() noexcept {
    try {
        disarm();
    } catch (...) {
        // Ending the session matters more than a receive left pending.
        PyErr_Clear();
    }
}

void Trading::disarm() {
    // A wait still pending (the bridge closed from outside the run loop) is
    // ended, so the run loop goes on instead of waiting for ever.
    if (present(wait_) && !done(wait_)) call_method(wait_, names.set_result, {nb::none()});
    end_wait();
    if (present(wake_task_)) call_method(wake_task_, names.cancel);
    wake_task_ = nb::none();
    wake_ = nb::none();
    loop_ = nb::none();  // the next run may be on another loop
}

coro::Coroutine run_body(Trading *self) {
    self->loop_ = nb::none();  // this run's loop is taken at its first wait
    call_method(self->recovery, names.begin);
    nb::object cause;  // what ended the session; held only after the loop
    try {
        for (;;) {
            if (self->pass_or_recover()) co_await sleep(1.0);
            co_await self->pass_wait();
            self->end_wait();
        }
    } catch (nb::python_error &e) {
        self->disarm_quietly();
        if (e.matches(g.CancelledError) || !e.matches(PyExc_Exception)) throw;
        cause = nb::borrow(e.value());
    } catch (std::exception &e) {
        // Errors of the C++ side end the session like any other failure.
        self->disarm_quietly();
        cause = nb::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", e.what()));
        if (!cause.is_valid()) PyErr_Clear();
    }
    // The user sees the generic message; the reason stays as its cause.
    nb::object error = nb::handle(g.ExError)(nb::handle(g.generic_error));
    if (cause.is_valid()) PyException_SetCause(error.ptr(), cause.release().ptr());
    self->error = std::move(error);
    self->clear_cache(nb::handle(names.ERROR));
    co_return;
}

coro::Coroutine close_body(Trading *self) {
    // Closed for good, at once: a strategy task still running meets a
    // session that is not READY (insert and cancel refuse), and the next
    // commit publishes that.  A session ended by an error keeps "ERROR".
    self->closed_ = true;
    if (!equals_text(self->session_status, names.ERROR) && !equals_text(self->session_status, names.DISCONNECTED))
        self->set_status(nb::handle(names.DISCONNECTED));
    if (truthy(self->task)) {
        call_method(self->task, names.cancel);
        co_await gather_quietly(self->task);
    }
    self->close_native();
    co_return;
}

int Trading::tp_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    int result = 0;
    nb::inst_ptr<Trading>(self)->each_ref([&](const nb::handle &ref) {
        if (result == 0 && ref.is_valid()) result = visit(ref.ptr(), arg);
    });
    return result;
}

int Trading::tp_clear(PyObject *self) {
    if (!nb::inst_ready(self)) return 0;
    // A value of the member's type rather than null (an empty dict for a dict
    // member, None for an object): a method called on a cleared session
    // raises or does nothing instead of touching freed memory.
    nb::inst_ptr<Trading>(self)->each_ref([](auto &ref) {
        using T = std::decay_t<decltype(ref)>;
        if constexpr (std::is_same_v<T, nb::object>)
            ref = nb::none();
        else
            ref = T();
    });
    return 0;
}

}  // namespace torvo::trading

namespace torvo::trading {

namespace {

using Self = nb::pointer_and_handle<Trading>;

const char kTradingDoc[] = "Private protocol state is committed to user objects only by wait_update.";

// A value that must be a dict or None, or an int or None.
nb::object dict_or_none(nb::handle value, const char *what) {
    if (!value.is_none() && !PyDict_Check(value.ptr())) errors::throw_error(PyExc_TypeError, message({what, " 必须是 dict 或 None"}));
    return nb::borrow(value);
}

nb::object int_or_none(nb::handle value, const char *what) {
    if (!value.is_none() && !PyLong_Check(value.ptr())) errors::throw_error(PyExc_TypeError, message({what, " 必须是 int 或 None"}));
    return nb::borrow(value);
}

// "def name(self) -> type", kept for the life of the module.
const char *getter_sig(const char *name, const char *type) {
    static std::deque<std::string> texts;
    return texts.emplace_back(std::string("def ") + name + "(self) -> " + type).c_str();
}

// One attribute of the state table.
template <auto Member, Bind How>
void bind_field(nb::class_<Trading> &cls, const char *name, const char *type) {
    if constexpr (How == Bind::Plain) {
        cls.def_rw(name, Member);
    } else if constexpr (How == Bind::Nullable) {
        if (*type != '\0')
            cls.def_rw(name, Member, nb::for_setter(nb::arg("value").none()),
                       nb::for_getter(nb::sig(getter_sig(name, type))));
        else
            cls.def_rw(name, Member, nb::for_setter(nb::arg("value").none()));
    } else if constexpr (How == Bind::DictOrNone || How == Bind::IntOrNone) {
        cls.def_prop_rw(
            name, [](const Trading &t) { return t.*Member; },
            [name](Trading &t, nb::handle v) {
                t.*Member = How == Bind::DictOrNone ? dict_or_none(v, name) : int_or_none(v, name);
            },
            nb::for_setter(nb::arg("value").none()), nb::for_getter(nb::sig(getter_sig(name, type))));
    }
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
        [](Trading *self, nb::object config, nb::object timeout, nb::dict objects, nb::object factory, nb::handle guard) {
            new (self) Trading(std::move(config), std::move(timeout), std::move(objects), std::move(factory));
            self->set_guard(guard);
        },
        "config"_a.none(), "timeout"_a.none(), "objects"_a, nb::kw_only(),
        "native_factory"_a.none() = nb::type<Native>(), "guard"_a.none() = nb::none(),
        nb::sig("def __init__(self, config: CtpAccount | None, timeout: float, objects: dict[int, object], "
                "*, native_factory: Callable[[CtpAccount, str], Native] = Native, "
                "guard: TradingGuard | None = None) -> None"));

    // ---- attributes: the state table, and the three with setters of their own
    cls.def_prop_rw(
        "config", [](const Trading &t) { return t.config; },
        [](Trading &t, nb::object value) { t.set_config(std::move(value)); },
        nb::for_setter(nb::arg("value").none()), nb::for_getter(nb::sig("def config(self) -> CtpAccount | None")));
    cls.def_prop_rw(
        "timeout", [](const Trading &t) { return t.timeout; },
        [](Trading &t, nb::object value) { t.set_timeout(std::move(value)); },
        nb::for_setter(nb::arg("value").none()), nb::for_getter(nb::sig("def timeout(self) -> float")));
#define TORVO_BIND_FIELD(member, py, type, starts, on_reset, bind, sig) bind_field<&Trading::member, Bind::bind>(cls, py, sig);
    TORVO_TRADING_STATE(TORVO_BIND_FIELD)
#undef TORVO_BIND_FIELD
    cls.def_prop_rw(
        "phase", [](const Trading &t) { return t.phase; }, [](Trading &t, nb::handle v) { t.set_phase(v); },
        nb::for_getter(nb::sig("def phase(self) -> str")));
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
    cls.def(
        "_wake", [](Trading &t, nb::handle source) { t.wake(source); }, "source"_a.none(),
        nb::sig("def _wake(self, source: object) -> None"),
        "Ends the run loop's wait between passes (a done callback and a timer callback).");
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

    // ---- dispatch and snapshots -------------------------------------------
    cls.def(
        "event", [](Trading &t, nb::handle event) { t.event(event); }, "event"_a.none(),
        nb::sig("def event(self, event: dict[str, object]) -> None"));
    cls.def(
        "_complete", [](Trading &t, nb::handle query) { t.complete(query); }, "query"_a.none(),
        nb::sig("def _complete(self, query: dict[str, Any]) -> None"));
    cls.def(
        "_positions", [](Trading &t, nb::handle rows, nb::handle updated) { return t.positions_of(rows, updated); },
        "rows"_a.none(), "updated"_a.none(),
        nb::sig("def _positions(self, rows: list[dict[str, Any]], updated: int | None) -> dict[str, dict[str, Any]]"));
    cls.def(
        "_complete_account", [](Trading &t, nb::handle rows, nb::handle now) { t.complete_account(rows, now); },
        "rows"_a.none(), "now_ms"_a.none(),
        nb::sig("def _complete_account(self, rows: list[dict[str, Any]], now_ms: int) -> None"));

    // ---- order and trade books ----------------------------------------------
    cls.def_static(
        "_is_spec_order", [](nb::handle row) { return Trading::is_spec_order(row); }, "row"_a.none(),
        nb::sig("def _is_spec_order(row: dict[str, Any]) -> bool"));
    cls.def_static(
        "_is_spec_trade", [](nb::handle row) { return Trading::is_spec_trade(row); }, "row"_a.none(),
        nb::sig("def _is_spec_trade(row: dict[str, Any]) -> bool"));
    cls.def(
        "_by_ref", [](Trading &t, nb::handle ref) { return t.by_ref(ref); }, "ref"_a.none(),
        nb::sig("def _by_ref(self, ref: object) -> dict[str, Any] | None"));
    cls.def(
        "_trade_id", [](Trading &t, nb::handle row) { return t.trade_key(row); }, "row"_a.none(),
        nb::sig("def _trade_id(self, row: dict[str, Any]) -> tuple[str, str, str]"));
    cls.def(
        "_child", [](Trading &t, nb::handle row) { return t.child_of(row); }, "row"_a.none(),
        nb::sig("def _child(self, row: dict[str, Any]) -> dict[str, Any]"));
    cls.def(
        "_order", [](Trading &t, nb::handle row, nb::handle revision) { t.order(row, revision); }, "row"_a.none(),
        "query_revision"_a.none() = nb::none(),
        nb::sig("def _order(self, row: dict[str, Any], query_revision: int | None = None) -> None"));
    cls.def(
        "_trade", [](Trading &t, nb::handle row, bool update_position) { return t.trade(row, update_position); },
        "row"_a.none(), nb::kw_only(), "update_position"_a,
        nb::sig("def _trade(self, row: dict[str, Any], *, update_position: bool) -> bool"));
    cls.def(
        "_aggregate", [](Trading &t, nb::handle child) { t.aggregate(child); }, "child"_a.none() = nb::none(),
        nb::sig("def _aggregate(self, child: dict[str, Any] | None = None) -> None"));

    // ---- local positions ----------------------------------------------------
    cls.def(
        "_apply_position_trade", [](Trading &t, nb::handle row) { t.apply_position_trade(row); }, "row"_a.none(),
        nb::sig("def _apply_position_trade(self, row: dict[str, Any]) -> None"));
    cls.def(
        "_free_parts",
        [](Trading &t, nb::handle symbol, nb::handle side) {
            auto [his, today] = t.free_parts(symbol, side);
            return nb::make_tuple(his, today);
        },
        "symbol"_a.none(), "side"_a.none(), nb::sig("def _free_parts(self, symbol: str, side: str) -> tuple[int, int]"));
    cls.def(
        "_recompute_frozen", [](Trading &t, nb::handle updated, nb::handle symbol) { t.recompute_frozen(updated, symbol); },
        "updated"_a.none() = nb::none(), nb::kw_only(), "symbol"_a.none() = nb::none(),
        nb::sig("def _recompute_frozen(self, updated: int | None = None, *, symbol: str | None = None) -> None"));

    // ---- orders -------------------------------------------------------------
    // insert and _insert: the same arguments, the coroutine of each.
    constexpr auto insert_args = [](auto body, const char *qualname) {
        return [body, qualname](Self self, nb::handle symbol, nb::handle direction, nb::handle offset,
                                nb::handle volume, nb::handle price, nb::handle advanced) {
            return body(self.p, symbol, direction, offset, volume, price, advanced)
                .bind(self.h, qualname, symbol, direction, offset, volume, price, advanced);
        };
    };
    cls.def("insert", insert_args(insert_body, "Trading.insert"), "symbol"_a.none(), "direction"_a.none(),
            "offset"_a.none(), "volume"_a.none(), "limit_price"_a.none(), nb::kw_only(),
            "advanced"_a.none() = nb::none(),
            nb::sig("def insert(self, symbol: str, direction: str, offset: str, volume: int, limit_price: float, "
                    "*, advanced: str | None = None) -> Coroutine[Any, Any, list[TradingResult]]"),
            "Place a limit order; returns one TradingResult per exchange order, in submission order.\n\n"
            "advanced: None (good for the day), \"FAK\" (what does not fill at once is cancelled) or \"FOK\" "
            "(everything fills at once, or nothing); any other value is REJECTED as an invalid argument. A close "
            "split on SHFE or INE into close-yesterday and close-today orders applies it to each of them. "
            "With a guard, or paused, a refused order returns one REJECTED result naming the limit and is not "
            "sent.");
    cls.def("_insert", insert_args(insert_now_body, "Trading._insert"), "symbol"_a.none(), "direction"_a.none(),
            "offset"_a.none(), "volume"_a.none(), "limit_price"_a.none(), nb::kw_only(),
            "advanced"_a.none() = nb::none(),
            nb::sig("def _insert(self, symbol: str, direction: str, offset: str, volume: int, limit_price: float, "
                    "*, advanced: str | None = None) -> Coroutine[Any, Any, list[TradingResult]]"));
    cls.def(
        "cancel", [](Trading &t, nb::handle order_id) { return t.cancel(order_id); }, "order_id"_a.none(),
        nb::sig("def cancel(self, order_id: str) -> list[TradingResult]"),
        "Ask the exchange to cancel an order; returns an empty list or one TradingResult.");

    // ---- publishing ---------------------------------------------------------
    cls.def(
        "commit", [](Trading &t, nb::handle changes) { return t.commit(changes); }, "changes"_a.none(),
        nb::sig("def commit(self, changes: dict[int, set[str]]) -> bool"));
    cls.def(
        "_update_view",
        [](Trading &t, nb::handle obj, nb::handle values, nb::handle changes) { return t.update_view(obj, values, changes); },
        "obj"_a.none(), "values"_a.none(), "changes"_a.none(),
        nb::sig("def _update_view(self, obj: LiveObject, values: dict[str, Any], changes: dict[int, set[str]]) -> set[str]"));
    cls.def(
        "_map_view",
        [](Trading &t, nb::handle view, nb::handle key, nb::handle values, nb::handle changes) {
            return t.map_view(view, key, values, changes);
        },
        "view"_a.none(), "key"_a.none(), "values"_a.none(), "changes"_a.none(),
        nb::sig("def _map_view(self, view: LiveMap[Any], key: str, values: dict[str, Any], "
                "changes: dict[int, set[str]]) -> Any"));
    cls.def(
        "position_view", [](Trading &t, nb::handle symbol) { return t.position_view(symbol); }, "symbol"_a.none(),
        nb::sig("def position_view(self, symbol: str | None) -> Position | LiveMap[Position]"));
    bind_guard(cls);
}


}  // namespace torvo::trading
