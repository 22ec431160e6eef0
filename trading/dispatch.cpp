// Event dispatch: every record the bridge reports enters the session through
// Trading::event, which decides by the record's name what it means.
#include "session.h"

namespace torvo::trading {

namespace {

// Dispatch cases, numbered in the order they are tested.
enum Case : int {
    kFrontConnected = 1,
    kFrontDisconnected,
    kRspAuthenticate,
    kRspUserLogin,
    kRspSettlementInfoConfirm,
    kRspError,
    kRspQuery,
    kRtnOrder,
    kRtnTrade,
    kInsertRejected,
    kActionRejected,
    kIgnored,
};

const std::pair<const char *, Case> kCases[] = {
    {"FrontConnected", kFrontConnected},
    {"FrontDisconnected", kFrontDisconnected},
    {"RspAuthenticate", kRspAuthenticate},
    {"RspUserLogin", kRspUserLogin},
    {"RspSettlementInfoConfirm", kRspSettlementInfoConfirm},
    {"RspError", kRspError},
    {"RspQryInstrument", kRspQuery},
    {"RspQryOrder", kRspQuery},
    {"RspQryTrade", kRspQuery},
    {"RspQryInvestorPosition", kRspQuery},
    {"RspQryTradingAccount", kRspQuery},
    {"RtnOrder", kRtnOrder},
    {"RtnTrade", kRtnTrade},
    {"RspOrderInsert", kInsertRejected},
    {"ErrRtnOrderInsert", kInsertRejected},
    {"RspOrderAction", kActionRejected},
    {"ErrRtnOrderAction", kActionRejected},
};

Case case_of(nb::handle name) {
    PyObject *found = PyDict_GetItemWithError(g.event_cases, name.ptr());
    if (found != nullptr) return static_cast<Case>(PyLong_AsLong(found));
    if (PyErr_Occurred()) throw nb::python_error();
    if (PyUnicode_Check(name.ptr())) {
        Py_ssize_t r = PyUnicode_Tailmatch(name.ptr(), names.RspQry, 0, PY_SSIZE_T_MAX, -1);
        if (r < 0) throw nb::python_error();
        if (r == 1) return kRspQuery;
    }
    return kIgnored;
}

// event.get(key); an empty handle when the key is absent or its value None.
// Only an exact dict is read directly: a subclass may override get.
nb::object field(nb::handle event, PyObject *key) {
    PyObject *value;
    if (PyDict_CheckExact(event.ptr())) {
        value = PyDict_GetItemWithError(event.ptr(), key);
        if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
        Py_XINCREF(value);
    } else {
        value = PyObject_CallMethodOneArg(event.ptr(), names.get, key);
        if (value == nullptr) throw nb::python_error();
    }
    nb::object out = nb::steal(value);
    if (out.is_valid() && out.is_none()) out.reset();
    return out;
}

// An absent, None or empty mapping value as an empty dict.
nb::object mapping_field(nb::handle event, PyObject *key) {
    nb::object value = field(event, key);
    if (!value.is_valid() || !truthy(value)) return nb::dict();
    return value;
}

// int(data.get("MaxOrderRef", "0").strip() or 0): the login's highest order
// reference.
long long max_order_ref(nb::handle data) {
    nb::object value;
    if (PyDict_CheckExact(data.ptr())) {
        PyObject *found = PyDict_GetItemWithError(data.ptr(), names.MaxOrderRef);
        if (found == nullptr && PyErr_Occurred()) throw nb::python_error();
        value = nb::borrow(found != nullptr ? found : names.zero_text);
    } else {
        value = check(PyObject_CallMethodObjArgs(data.ptr(), names.get, names.MaxOrderRef, names.zero_text,
                                                 nullptr));
    }
    nb::object number;
    if (PyLong_Check(value.ptr())) {
        number = value;
    } else {
        nb::object text = call_method(value, names.strip);
        if (!truthy(text)) return 0;
        number = check(PyNumber_Long(text.ptr()));
    }
    long long ref = PyLong_AsLongLong(number.ptr());
    if (ref == -1 && PyErr_Occurred()) throw nb::python_error();
    return ref;
}

}  // namespace

void init_dispatch() {
    nb::dict table;
    for (auto [name, which] : kCases) {
        nb::object key = check(PyUnicode_InternFromString(name));
        nb::object number = check(PyLong_FromLong(which));
        if (PyDict_SetItem(table.ptr(), key.ptr(), number.ptr()) < 0) throw nb::python_error();
    }
    g.event_cases = table.release().ptr();
}

void Trading::event(nb::handle event) {
    nb::object name = item(event, names.name);
    switch (case_of(name)) {
        case kFrontConnected: {
            clear_cache(nb::handle(names.SYNCING));
            nb::dict fields;
            nb::object app_id = check(PyObject_GetAttr(config.ptr(), names.app_id));
            nb::object auth_code = check(PyObject_GetAttr(config.ptr(), names.auth_code));
            if (PyDict_SetItem(fields.ptr(), names.AppID, app_id.ptr()) < 0 ||
                PyDict_SetItem(fields.ptr(), names.AuthCode, auth_code.ptr()) < 0)
                throw nb::python_error();
            phase_request(nb::handle(names.authenticate), nb::handle(names.Authenticate), fields);
            return;
        }
        case kFrontDisconnected:
            // The bridge stays open: the front reconnects by itself, and the
            // "connecting" time limit covers a front that never comes back.
            set_phase(nb::handle(names.connecting));
            phase_time = monotonic();
            clear_cache(nb::handle(names.DISCONNECTED));
            call_method(recovery, names.fail);
            return;
        case kRspAuthenticate:
        case kRspUserLogin:
        case kRspSettlementInfoConfirm:
            login_response(case_of(name), event);
            return;
        default:
            // Query rows, order and trade returns, rejections and unattributed
            // errors are not handled by this session yet.
            return;
    }
}

void Trading::login_response(int which, nb::handle event) {
    nb::object rid = field(event, names.request_id);
    if (!rid.is_valid()) rid = nb::borrow(g.small_ints[0]);
    int differs = PyObject_RichCompareBool(rid.ptr(), phase_id.ptr(), Py_NE);
    if (differs < 0) throw nb::python_error();
    if (differs) return;  // answers an earlier attempt

    nb::object error = mapping_field(event, names.error);
    nb::object code = field(error, names.ErrorID);
    if (!code.is_valid()) code = nb::borrow(g.small_ints[0]);
    if (truthy(code)) {
        if (code_is(code, 90) || code_is(code, 154)) raise_bare(PyExc_TimeoutError);
        nb::object message = field(error, names.ErrorMsg);
        if (!message.is_valid()) message = nb::str("");
        raise_ex(concat({nb::str("CTP "), label(g.PHASE_LABELS, phase), nb::str("失败（错误码："), code,
                         nb::str("）："), message}));
    }

    nb::object data = mapping_field(event, names.data);
    dict_update(phase_data, data);
    nb::object last = field(event, names.last);
    if (last.is_valid() && !truthy(last)) return;  // more responses follow

    nb::dict merged = phase_data;
    switch (which) {
        case kRspAuthenticate: {
            nb::dict fields;
            nb::object password = check(PyObject_GetAttr(config.ptr(), names.password));
            if (PyDict_SetItem(fields.ptr(), names.Password, password.ptr()) < 0) throw nb::python_error();
            phase_request(nb::handle(names.login), nb::handle(names.UserLogin), fields);
            break;
        }
        case kRspUserLogin: {
            nb::object trading_day = item(merged, names.TradingDay);
            if (!PyUnicode_Check(trading_day.ptr())) raise(PyExc_TypeError, "TradingDay 必须是 str");
            day = nb::borrow<nb::str>(trading_day);
            if (PyDict_SetItem(a.ptr(), names.trading_day, trading_day.ptr()) < 0) throw nb::python_error();
            front = item(merged, names.FrontID);
            session = item(merged, names.SessionID);
            order_ref = max_order_ref(merged);
            phase_request(nb::handle(names.settlement), nb::handle(names.SettlementInfoConfirm), nb::none());
            touch();
            break;
        }
        case kRspSettlementInfoConfirm:
            set_phase(nb::handle(names.sync));
            phase_time = monotonic();
            sync_index = 0;
            break;
        default:
            break;
    }
}

}  // namespace torvo::trading
