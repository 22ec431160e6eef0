// Event dispatch: every record the bridge reports enters the session through
// Trading::event, which decides by the record's name what it means and hands
// it to the function of its case.
#include "session.h"

namespace torvo::trading {

namespace {

constexpr Py_ssize_t kLiveTradeLimit = 32768;

const std::pair<const char *, EventCase> kCases[] = {
    {"FrontConnected", EventCase::FrontConnected},
    {"FrontDisconnected", EventCase::FrontDisconnected},
    {"RspAuthenticate", EventCase::RspAuthenticate},
    {"RspUserLogin", EventCase::RspUserLogin},
    {"RspSettlementInfoConfirm", EventCase::RspSettlementInfoConfirm},
    {"RspError", EventCase::RspError},
    {"RtnOrder", EventCase::RtnOrder},
    {"RtnTrade", EventCase::RtnTrade},
    {"RspOrderInsert", EventCase::InsertRejected},
    {"ErrRtnOrderInsert", EventCase::InsertRejected},
    {"RspOrderAction", EventCase::ActionRejected},
    {"ErrRtnOrderAction", EventCase::ActionRejected},
};

// The case of an event name: the table, then any name beginning "RspQry".
EventCase case_of(nb::handle name) {
    if (PyObject *found = dict_find(g.event_cases, name)) return static_cast<EventCase>(PyLong_AsLong(found));
    if (PyUnicode_Check(name.ptr())) {
        Py_ssize_t r = PyUnicode_Tailmatch(name.ptr(), names.RspQry, 0, PY_SSIZE_T_MAX, -1);
        check(static_cast<int>(r));
        if (r == 1) return EventCase::RspQuery;
    }
    return EventCase::Ignored;
}

// An absent, None or empty mapping value as an empty dict.
nb::object mapping_or_empty(nb::handle record, PyObject *key) {
    nb::object value = get_not_none(record, key);
    if (!value.is_valid() || !truthy(value)) return nb::dict();
    return value;
}

// int(data.get("MaxOrderRef", "0").strip() or 0): the login's highest order
// reference.
long long max_order_ref(nb::handle data) {
    nb::object value = get_or(data, names.MaxOrderRef, names.zero_text);
    if (PyLong_Check(value.ptr())) return to_int(value);
    nb::object text = call_method(value, names.strip);
    if (!truthy(text)) return 0;
    return to_int(check(PyNumber_Long(text.ptr())));
}

// The first child of `children` (insertion order) whose `key` equals rid.
nb::object child_with(nb::handle children, PyObject *key, nb::handle rid) {
    for (auto [oid, borrowed] : nb::borrow<nb::dict>(children)) {
        nb::object child = nb::borrow(borrowed);  // its get() or a value's __eq__ may drop it from the dict
        nb::object value = get_not_none(child, key);
        if (value.is_valid() && equal(value, rid)) return child;
    }
    return nb::object();
}

}  // namespace

// An event record read into its parts, with the defaults of absent keys.
struct Trading::Event {
    explicit Event(nb::handle record)
        : name(item(record, names.name)),
          data(mapping_or_empty(record, names.data)),
          rid(get_not_none(record, names.request_id)),
          error(mapping_or_empty(record, names.error)) {
        if (!rid.is_valid()) rid = int_of(0);
        nb::object flag = get_not_none(record, names.last);
        last = !flag.is_valid() || truthy(flag);
        code = get_not_none(error, names.ErrorID);
        if (!code.is_valid()) code = int_of(0);
        text = get_not_none(error, names.ErrorMsg);
        if (!text.is_valid()) text = nb::str("");
    }
    bool failed() const { return truthy(code); }
    bool has_rid() const { return truthy(rid); }

    nb::object name, data, rid, error, code, text;
    bool last = true;
};

void init_dispatch() {
    nb::dict table;
    for (auto [name, which] : kCases)
        dict_store(table, check(PyUnicode_InternFromString(name)), int_of(static_cast<long long>(which)));
    g.event_cases = table.release().ptr();
}

void Trading::event(nb::handle record) {
    const Event e(record);
    const EventCase which = case_of(e.name);
    const bool tracking = phase_code == Phase::Sync || phase_code == Phase::Ready;
    switch (which) {
        case EventCase::FrontConnected: return on_front_connected();
        case EventCase::FrontDisconnected: return on_front_disconnected(record);
        case EventCase::RspAuthenticate:
        case EventCase::RspUserLogin:
        case EventCase::RspSettlementInfoConfirm: return on_login_response(which, e);
        case EventCase::RspError: return on_error(e);
        case EventCase::RspQuery: return on_query_response(e);
        case EventCase::RtnOrder:
            if (tracking) on_order_return(e);
            return;
        case EventCase::RtnTrade:
            if (tracking) on_trade_return(e);
            return;
        case EventCase::InsertRejected:
            if (e.failed()) on_insert_rejected(e);
            return;
        case EventCase::ActionRejected:
            if (e.failed()) on_action_rejected(e);
            return;
        case EventCase::Ignored: return;
    }
}

void Trading::on_front_connected() {
    clear_cache(names.SYNCING);
    phase_request(names.authenticate, names.Authenticate,
                  dict_of({{names.AppID, attr(config, names.app_id)}, {names.AuthCode, attr(config, names.auth_code)}}));
}

void Trading::on_front_disconnected(nb::handle record) {
    // The bridge stays open: the front reconnects by itself, and the
    // "connecting" time limit covers a front that never comes back.  The
    // library's reason is kept as the reconnection's failure.
    nb::object reason = get_not_none(record, names.reason);
    if (!reason.is_valid()) reason = int_of(0);
    note_failure(nb::handle(PyExc_ConnectionError)(message({"CTP 前置连接断开（原因码：", reason, "）"})));
    set_phase(names.connecting);
    phase_time = monotonic();
    clear_cache(names.DISCONNECTED);
    call_method(recovery, names.fail);
}

void Trading::on_login_response(EventCase which, const Event &e) {
    if (!equal(e.rid, phase_id)) return;  // answers an earlier attempt
    if (e.failed()) {
        if (front_busy(e.code)) errors::throw_error(out_of_sync());
        errors::throw_error(g.ExError, message({"CTP ", phase_label(phase), "失败（错误码：", e.code, "）：", e.text}));
    }
    update(phase_data, e.data);
    if (!e.last) return;  // more responses follow

    const nb::dict merged = phase_data;
    switch (which) {
        case EventCase::RspAuthenticate:
            phase_request(names.login, names.UserLogin, dict_of({{names.Password, attr(config, names.password)}}));
            break;
        case EventCase::RspUserLogin: {
            nb::object trading_day = item(merged, names.TradingDay);
            if (!PyUnicode_Check(trading_day.ptr())) errors::throw_error(PyExc_TypeError, "TradingDay 必须是 str");
            day = nb::borrow<nb::str>(trading_day);
            dict_store(account_values, names.trading_day, trading_day);
            front = item(merged, names.FrontID);
            session = item(merged, names.SessionID);
            order_ref = max_order_ref(merged);
            phase_request(names.settlement, names.SettlementInfoConfirm, nb::none());
            touch();
            break;
        }
        default:  // RspSettlementInfoConfirm
            set_phase(names.sync);
            phase_time = monotonic();
            sync_index = 0;
            break;
    }
}

void Trading::on_error(const Event &e) {
    // An error for an order's insert or cancel request is handled as the
    // rejection it is, through a record of that name.
    if (e.has_rid()) {
        for (auto [oid, borrowed] : nb::borrow<nb::dict>(native_orders)) {
            nb::object child = nb::borrow(borrowed);  // held across its own get() and the ids' __eq__
            nb::object insert_id = get_not_none(child, names.request_id);
            if (insert_id.is_valid() && equal(insert_id, e.rid))
                return event(dict_of({{names.name, names.RspOrderInsert}, {names.request_id, e.rid}, {names.error, e.error}}));
            nb::object cancel_id = get_not_none(child, names.cancel_request_id);
            if (cancel_id.is_valid() && equal(cancel_id, e.rid))
                return event(dict_of({{names.name, names.RspOrderAction}, {names.request_id, e.rid}, {names.error, e.error}}));
        }
    }
    if (!inflight.is_none() && equal(item(inflight, names.id), e.rid)) return query_error(e.code, e.text);
    if (equal(e.rid, phase_id) && e.failed())
        errors::throw_error(g.ExError, message({"CTP 会话错误（错误码：", e.code, "）：", e.text}));
    if (e.failed()) errors::throw_error(out_of_sync(), message({"收到无法归属请求的 CTP 错误（错误码：", e.code, "）"}));
}

void Trading::on_query_response(const Event &e) {
    if (inflight.is_none() || !equal(item(inflight, names.id), e.rid)) return;
    const nb::object query = inflight;
    dict_store(query, names.progress, float_of(monotonic()));
    if (e.failed()) return query_error(e.code, e.text);
    if (truthy(e.data)) check(PyList_Append(item(query, names.rows).ptr(), e.data.ptr()));
    if (!e.last) return;
    inflight = nb::none();
    complete(query);
}

void Trading::on_order_return(const Event &e) {
    if (is_spec_order(e.data)) order(e.data, nb::none());
}

void Trading::on_trade_return(const Event &e) {
    if (!is_spec_trade(e.data)) return;
    if (position_ready) {
        trade(e.data, true);
        return;
    }
    nb::tuple key = trade_key(e.data);
    // Held until the position snapshot is established; compared with the
    // second trade snapshot then, not applied one by one.
    if (dict_has(live_trade_buffer, key)) return;
    if (dict_size(live_trade_buffer) >= kLiveTradeLimit) errors::throw_error(books_broken(), "登录期间的成交回报暂存队列已满");
    dict_store(live_trade_buffer, key, e.data);
}

void Trading::on_insert_rejected(const Event &e) {
    nb::object child = by_ref(get_or(e.data, names.OrderRef, Py_None));
    if (child.is_none() && e.has_rid()) child = child_with(native_orders, names.request_id, e.rid);
    if (!child.is_valid() || child.is_none() || !truthy(child)) return;
    update(child, dict_of({{names.status, names.REJECTED},
                           {names.is_confirmed, Py_True},
                           {names.status_msg, names.msg_rejected},
                           {names.pending_finish, Py_False},
                           {names.expected_traded, item(child, names.volume_traded)},
                           {names.cancel_pending, Py_False},
                           {names.cancel_error, Py_None}}));
    index_drop(item(child, names.order_id), child);
    recompute_frozen(nb::none(), item(child, names.symbol));
    aggregate(child);
    schedule_account();
    touch();
}

void Trading::on_action_rejected(const Event &e) {
    nb::object child;
    nb::object system_id =
        system_key(exchange_of(e.data), call_method(get_or(e.data, names.OrderSysID, names.empty), names.strip));
    if (!system_id.is_none()) {
        nb::object oid = get_not_none(system_orders, system_id.ptr());
        if (oid.is_valid()) child = get_not_none(native_orders, oid.ptr());
    }
    if (!child.is_valid() && e.has_rid()) child = child_with(native_orders, names.cancel_request_id, e.rid);
    if (!child.is_valid()) {
        nb::object ref = get_not_none(e.data, names.OrderRef);
        if (ref.is_valid() && truthy(ref)) {
            nb::object key = nb::make_tuple(get_or(e.data, names.FrontID, Py_None),
                                            get_or(e.data, names.SessionID, Py_None), to_str(ref));
            nb::object oid = get_not_none(ref_orders, key.ptr());
            if (oid.is_valid()) child = get_not_none(native_orders, oid.ptr());
        }
    }
    if (!child.is_valid()) return;
    nb::object cancel_id = get_or(child, names.cancel_request_id, Py_None);
    if (e.has_rid() && !equal(cancel_id, e.rid)) return;  // answers an older cancel request
    if (!truthy(item(child, names.cancel_pending)) || cancel_id.is_none()) return;
    store(child, names.cancel_pending, Py_False);
    store(child, names.cancel_error, names.msg_cancel_refused);
    aggregate(child);
    touch();
}

}  // namespace torvo::trading
