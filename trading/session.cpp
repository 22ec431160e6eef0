// Trading: construction, start, the run loop, opening and closing the bridge,
// the cache reset, the change signal, and close.
#include "session.h"

#include "native.h"

using namespace nanobind::literals;

namespace torvo::trading {

namespace {

nb::object id_of(nb::handle obj) { return check(PyLong_FromVoidPtr(obj.ptr())); }

void register_object(nb::dict &objects, nb::handle obj) {
    nb::object key = id_of(obj);
    if (PyDict_SetItem(objects.ptr(), key.ptr(), obj.ptr()) < 0) throw nb::python_error();
}

nb::object new_account(nb::handle config) {
    nb::object account_id = truthy(config) ? check(PyObject_GetAttr(config.ptr(), names.user_id)) : nb::none();
    return nb::handle(g.Account)("account_id"_a = account_id);
}

nb::dict account_values(nb::handle account) {
    nb::object values = check(PyObject_GetAttr(account.ptr(), names._values));
    nb::dict copy;
    if (PyDict_Update(copy.ptr(), values.ptr()) < 0) throw nb::python_error();
    return copy;
}

nb::object new_recovery(const char *label, nb::handle limit = nb::handle(), nb::handle window = nb::handle()) {
    nb::object text = check(PyUnicode_FromString(label));
    if (!limit.is_valid()) return check(PyObject_CallOneArg(g.Recovery, text.ptr()));
    PyObject *args[] = {text.ptr(), limit.ptr(), window.ptr()};
    return check(PyObject_Vectorcall(g.Recovery, args, 3, nullptr));
}

bool retryable(const nb::python_error &e) {
    return e.matches(PyExc_TimeoutError) || e.matches(PyExc_BufferError) ||
           e.matches(PyExc_ConnectionError) || e.matches(PyExc_OSError);
}

nb::object sleep(double seconds) {
    nb::object delay = check(PyFloat_FromDouble(seconds));
    return check(PyObject_CallOneArg(asyncio_attr(names.sleep).ptr(), delay.ptr()));
}

}  // namespace

Phase phase_of(nb::handle word) {
    static const std::pair<PyObject *const *, Phase> known[] = {
        {&names.connecting, Phase::Connecting}, {&names.authenticate, Phase::Authenticate},
        {&names.login, Phase::Login},           {&names.settlement, Phase::Settlement},
        {&names.sync, Phase::Sync},             {&names.ready, Phase::Ready},
    };
    for (auto [name, phase] : known)
        if (same_str(word, *name)) return phase;
    return Phase::Other;
}

Trading::Trading(nb::object config_, nb::object timeout_, nb::dict objects_, nb::object factory_) {
    set_config(std::move(config_));
    set_timeout(std::move(timeout_));
    objects = std::move(objects_);
    factory = std::move(factory_);
    account = new_account(config);
    bool has_config = truthy(config);
    session_status = nb::borrow<nb::str>(has_config ? names.SYNCING : names.ERROR);
    published_status = session_status;
    positions = nb::handle(g.LiveMap)(nb::handle(g.Position));
    orders = nb::handle(g.LiveMap)(nb::handle(g.Order));
    register_object(objects, account);
    register_object(objects, positions);
    register_object(objects, orders);
    register_object(objects, trades);
    a = account_values(account);
    position_candidate = nb::none();
    inflight = nb::none();
    front = nb::borrow(g.small_ints[0]);
    session = nb::borrow(g.small_ints[0]);
    day = nb::str("");
    set_phase(nb::handle(names.connecting));
    phase_id = nb::none();
    phase_time = monotonic();
    task = nb::none();
    native = nb::none();
    error = nb::none();
    changed = asyncio_attr(names.Event)();
    directory = nb::none();
    recovery = new_recovery("交易连接");
    nb::object limit = check(PyLong_FromLong(3)), window = check(PyLong_FromLong(120));
    query_recovery = new_recovery("账户查询", limit, window);
    published_position_time = nb::none();
}

void Trading::set_config(nb::object value) {
    config = std::move(value);
    broker_id_.reset();
    user_id_.reset();
}

void Trading::set_timeout(nb::object value) {
    double seconds = PyFloat_AsDouble(value.ptr());
    if (seconds == -1.0 && PyErr_Occurred()) throw nb::python_error();
    timeout = std::move(value);
    timeout_s = seconds;
}

void Trading::set_phase(nb::handle word) {
    if (!PyUnicode_Check(word.ptr())) raise(PyExc_TypeError, "phase 必须是 str");
    phase = nb::borrow<nb::str>(word);
    phase_code = phase_of(word);
}

void Trading::touch() {
    dirty = true;
    call_method(changed, names.set);
}

void Trading::set_status(nb::handle value) {
    if (!PyUnicode_Check(value.ptr())) raise(PyExc_TypeError, "session_status 必须是 str");
    session_status = nb::borrow<nb::str>(value);
    touch();
}

void Trading::clear_cache(nb::handle status) {
    if (!PyUnicode_Check(status.ptr())) raise(PyExc_TypeError, "session_status 必须是 str");
    a = account_values(new_account(config));
    session_status = nb::borrow<nb::str>(status);
    for (nb::dict *d : {&o, &t, &native_orders, &instruments, &ref_orders, &system_orders, &pending_trades,
                        &live_trade_buffer, &order_revisions})
        PyDict_Clear(d->ptr());
    nb::dict fresh;
    nb::object it = check(PyObject_GetIter(positions.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object symbol = nb::steal(raw);
        nb::object record = check(PyObject_CallOneArg(g.empty_position, symbol.ptr()));
        if (PyDict_SetItem(fresh.ptr(), symbol.ptr(), record.ptr()) < 0) throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    p = std::move(fresh);
    if (PySet_Clear(trade_before.ptr()) < 0) throw nb::python_error();
    position_candidate = nb::none();
    position_ready = false;
    if (PySet_Clear(pending.ptr()) < 0) throw nb::python_error();
    inflight = nb::none();
    sync_index = 0;
    last_account_refresh = 0.0;
    revision = 0;
    front = nb::borrow(g.small_ints[0]);
    session = nb::borrow(g.small_ints[0]);
    phase_id = nb::none();
    PyDict_Clear(phase_data.ptr());
    published_position_time = nb::none();
    reset_pending = true;
    touch();
}

void Trading::start(nb::handle self) {
    if (config.is_none() || !task.is_none()) return;
    nb::object coroutine = nb::cast(run_body(this).bind(self, "Trading.run"), nb::rv_policy::move);
    task = check(PyObject_CallOneArg(asyncio_attr(names.create_task).ptr(), coroutine.ptr()));
}

void Trading::open_native() {
    if (directory.is_none()) {
        nb::object mkdtemp = module_attr(names.mkdtemp);
        directory = mkdtemp("prefix"_a = nb::handle(names.flow_prefix));
    }
    native = factory(config, directory);
}

void Trading::close_native() {
    if (native.is_none()) return;
    if (Native *bridge = exact_native(native))
        bridge->close();
    else
        call_method(native, names.close);
    native = nb::none();
}

void Trading::pass() {
    if (native.is_none()) open_native();
    if (!same_str(session_status, names.READY)) call_method(recovery, names.check);
    Native *bridge = exact_native(native);
    nb::object events = bridge != nullptr ? bridge->poll() : call_method(native, names.poll);
    nb::object it = check(PyObject_GetIter(events.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object record = nb::steal(raw);
        event(record);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    tick(monotonic());
}

void Trading::recover() {
    call_method(recovery, names.fail);
    clear_cache(nb::handle(names.SYNCING));
    set_phase(nb::handle(names.connecting));
    phase_time = monotonic();
    close_native();
}

coro::Coroutine run_body(Trading *self) {
    call_method(self->recovery, names.begin);
    try {
        for (;;) {
            bool broken = false;
            try {
                self->pass();
            } catch (nb::python_error &e) {
                if (!retryable(e)) throw;
                broken = true;
            }
            if (broken) {
                // Outside the handler: anything raised here ends the session.
                self->recover();
                co_await sleep(1.0);
            }
            co_await sleep(0.01);
        }
    } catch (nb::python_error &e) {
        if (e.matches(g.CancelledError) || !e.matches(PyExc_Exception)) throw;
    } catch (std::exception &) {
        // Errors of the C++ side end the session like any other failure.
    }
    self->error = check(PyObject_CallOneArg(g.ExError, g.generic_error));
    self->clear_cache(nb::handle(names.ERROR));
    co_return nb::none();
}

coro::Coroutine close_body(Trading *self) {
    if (truthy(self->task)) {
        call_method(self->task, names.cancel);
        nb::object gather = asyncio_attr(names.gather);
        nb::object kwnames = check(PyTuple_Pack(1, names.return_exceptions));
        PyObject *args[] = {self->task.ptr(), Py_True};
        nb::object waiting = check(PyObject_Vectorcall(gather.ptr(), args, 1, kwnames.ptr()));
        gather.reset();
        kwnames.reset();
        co_await std::move(waiting);
    }
    self->close_native();
    co_return nb::none();
}

int Trading::tp_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    int result = 0;
    nb::inst_ptr<Trading>(self)->each_ref([&](nb::object &ref) {
        if (result == 0 && ref.is_valid()) result = visit(ref.ptr(), arg);
    });
    return result;
}

int Trading::tp_clear(PyObject *self) {
    if (!nb::inst_ready(self)) return 0;
    // None rather than null: a method called on a cleared session raises
    // instead of touching freed memory.
    nb::inst_ptr<Trading>(self)->each_ref([](nb::object &ref) { ref = nb::none(); });
    return 0;
}

}  // namespace torvo::trading
