// Login synchronisation: numbering and sending requests, starting login
// steps, the periodic tick that paces the snapshot queries and enforces every
// time limit, account refresh scheduling and failed queries.
//
// Every exception leaving here goes to the run loop: TimeoutError (and
// BufferError, ConnectionError, OSError) forces a reconnection, anything else
// ends the session.
#include <limits>

#include "native.h"
#include "session.h"

namespace torvo::trading {

namespace {

double seconds_of(nb::handle value) {
    double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

bool refused_by_flow_control(nb::handle code) { return code_is(code, -2) || code_is(code, -3); }

void set_add(nb::set &set, nb::handle key) {
    if (PySet_Add(set.ptr(), key.ptr()) < 0) throw nb::python_error();
}

nb::str text(const char *utf8) { return nb::str(utf8); }

bool empty(const nb::set &set) {
    Py_ssize_t n = PySet_Size(set.ptr());
    if (n < 0) throw nb::python_error();
    return n == 0;
}

}  // namespace

void Trading::ensure_identity() {
    if (broker_id_.is_valid()) return;
    nb::object broker = check(PyObject_GetAttr(config.ptr(), names.broker_id));
    nb::object user = check(PyObject_GetAttr(config.ptr(), names.user_id));
    broker_id_ = std::move(broker);
    user_id_ = std::move(user);
}

std::pair<long long, nb::object> Trading::request(nb::handle method, nb::handle fields) {
    ensure_identity();
    nb::dict data;
    if (PyDict_SetItem(data.ptr(), names.BrokerID, broker_id_.ptr()) < 0 ||
        PyDict_SetItem(data.ptr(), names.InvestorID, user_id_.ptr()) < 0 ||
        PyDict_SetItem(data.ptr(), names.UserID, user_id_.ptr()) < 0)
        throw nb::python_error();
    if (fields.is_valid() && !fields.is_none() && truthy(fields)) dict_update(data, fields);
    // Python's int would just grow; the counter stops at its limit instead of
    // wrapping round to ids already used.
    if (request_id == std::numeric_limits<long long>::max()) raise(PyExc_OverflowError, "请求编号超出范围");
    long long rid = ++request_id;
    nb::object id = check(PyLong_FromLongLong(rid));
    nb::object code;
    if (Native *bridge = exact_native(native)) {
        code = bridge->request(method, data, id);
    } else {
        nb::object send = check(PyObject_GetAttr(native.ptr(), names.request));
        PyObject *args[] = {method.ptr(), data.ptr(), id.ptr()};
        code = check(PyObject_Vectorcall(send.ptr(), args, 3, nullptr));
    }
    return {rid, std::move(code)};
}

void Trading::phase_request(nb::handle step, nb::handle method, nb::handle data) {
    set_phase(step);
    phase_time = monotonic();
    phase_data = nb::dict();
    auto [rid, code] = request(method, data);
    phase_id = check(PyLong_FromLongLong(rid));
    if (code_is(code, -1) || refused_by_flow_control(code)) raise_bare(PyExc_TimeoutError);
    if (!code_is(code, 0))
        raise_ex(concat({text("CTP "), label(g.PHASE_LABELS, phase), text("请求失败（错误码："), code,
                         text("）")}));
}

void Trading::schedule_account() {
    if (phase_code == Phase::Ready) set_add(pending, names.account);
}

void Trading::tick(double now) {
    const Phase step = phase_code;
    if (step == Phase::Ready && (!inflight.is_none() || !empty(pending)))
        call_method(query_recovery, names.check);
    if (step == Phase::Connecting) {
        if (now - phase_time > timeout_s) raise_bare(PyExc_TimeoutError);
        return;
    }
    if (step != Phase::Ready && step != Phase::Sync) {
        if (now - phase_time > timeout_s) raise(PyExc_TimeoutError, "CTP 连接或登录超时");
        return;
    }
    if (!inflight.is_none()) {
        if (now - seconds_of(item(inflight, names.progress)) > timeout_s) {
            nb::object kind = item(inflight, names.kind);
            if (step != Phase::Ready)
                raise(PyExc_TimeoutError,
                      concat({text("CTP "), label(g.QUERY_LABELS, kind), text("查询超时且无进展")}));
            // While ready a silent account query is dropped and queued again.
            call_method(query_recovery, names.fail);
            set_add(pending, kind);
            inflight = nb::none();
        }
        return;
    }
    if (step == Phase::Sync && now - phase_time > timeout_s)
        raise(PyExc_TimeoutError, "CTP 登录同步超时且无进展");
    if (step == Phase::Ready && now - last_account_refresh >= 5) set_add(pending, names.account);
    if (now - last_query < 1) return;

    nb::object kind;
    if (step == Phase::Sync) {
        kind = check(PySequence_GetItem(g.SYNC_STEPS, sync_index));
    } else {
        if (empty(pending)) return;
        kind = nb::borrow(names.account);
    }
    nb::object fields = nb::none();
    if (same_str(kind, names.account)) {
        nb::dict currency;
        if (PyDict_SetItem(currency.ptr(), names.CurrencyID, names.CNY) < 0) throw nb::python_error();
        fields = std::move(currency);
    }
    auto [rid, code] = request(item(g.QUERY, kind), fields);
    last_query = now;
    if (refused_by_flow_control(code)) {
        // The API's flow control: not an error, the same kind goes again later.
        call_method(step == Phase::Ready ? query_recovery : recovery, names.fail);
        last_query = now + 1;
        return;
    }
    if (!code_is(code, 0))
        raise(PyExc_TimeoutError, concat({text("CTP "), item(g.QUERY_LABELS, kind),
                                          text("查询提交失败（错误码："), code, text("）")}));
    if (PySet_Discard(pending.ptr(), kind.ptr()) < 0) throw nb::python_error();
    phase_time = now;
    nb::dict query;
    nb::object id = check(PyLong_FromLongLong(rid));
    nb::object rows = check(PyList_New(0));
    nb::object progress = check(PyFloat_FromDouble(now));
    nb::object at = check(PyLong_FromLongLong(revision));
    if (PyDict_SetItem(query.ptr(), names.id, id.ptr()) < 0 ||
        PyDict_SetItem(query.ptr(), names.kind, kind.ptr()) < 0 ||
        PyDict_SetItem(query.ptr(), names.rows, rows.ptr()) < 0 ||
        PyDict_SetItem(query.ptr(), names.progress, progress.ptr()) < 0 ||
        PyDict_SetItem(query.ptr(), names.revision, at.ptr()) < 0)
        throw nb::python_error();
    inflight = std::move(query);
}

void Trading::query_error(nb::handle code, nb::handle message) {
    nb::object query = std::exchange(inflight, nb::none());
    const bool ready = phase_code == Phase::Ready;
    if (code_is(code, 90) || code_is(code, 154)) {
        // Flow control reported by the front: send the same query again later.
        call_method(ready ? query_recovery : recovery, names.fail);
        last_query = monotonic() + 1;
        if (ready) set_add(pending, item(query, names.kind));
        return;
    }
    raise_ex(concat({text("CTP "), label(g.QUERY_LABELS, item(query, names.kind)), text("查询失败（错误码："),
                     code, text("）："), message}));
}

}  // namespace torvo::trading
