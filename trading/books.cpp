// The order and trade books: which local order a return belongs to, the
// vendor's statuses in the package's five words, sticky terminal statuses,
// finishes held back until the counted trades have arrived, trades parked
// until their order is known, and each order's state copied into the order
// record that commit publishes.
#include "session.h"

namespace torvo::trading {

namespace {

constexpr Py_ssize_t kParkedTradeLimit = 32768;

// The close type of an order's combined offset flag, by its first character
// (`flags[:1]`): None for an open, then today's, earlier or unspecified lots.
nb::handle close_type_of(nb::handle flags) {
    nb::object flag;
    if (PyUnicode_Check(flags.ptr())) {
        if (PyUnicode_GET_LENGTH(flags.ptr()) == 0) return names.UNSPECIFIED;
        switch (PyUnicode_READ_CHAR(flags.ptr(), 0)) {
        case '0': return Py_None;
        case '3': return names.TODAY;
        case '4': return names.HISTORY;
        default: return names.UNSPECIFIED;
        }
    }
    flag = check(PySequence_GetSlice(flags.ptr(), 0, 1));
    return equal(flag, names.zero_text)    ? nb::handle(Py_None)
           : equal(flag, names.three_text) ? nb::handle(names.TODAY)
           : equal(flag, names.four_text)  ? nb::handle(names.HISTORY)
                                           : nb::handle(names.UNSPECIFIED);
}

// row.get(key, "").strip()
nb::object stripped_field(nb::handle row, PyObject *key) { return stripped(get_or(row, key, names.empty)); }

// The text, or None when it is empty.
nb::object text_or_none(nb::handle text) { return truthy(text) ? nb::borrow(text) : nb::none(); }

// Whether an order record's `order_sys_id` already is the exchange's number
// `raw` stripped (None for a blank one), told without making the stripped
// text and without running any Python code: both exact str (or None).
bool holds_system_id(nb::handle record, nb::handle raw) {
    if (!PyDict_CheckExact(record.ptr()) || !PyUnicode_CheckExact(raw.ptr())) return false;
    PyObject *held = dict_find(record, order_key.order_sys_id);
    if (held == Py_None) return strips_to(raw, names.empty);
    return held != nullptr && PyUnicode_CheckExact(held) && PyUnicode_GET_LENGTH(held) > 0 && strips_to(raw, held);
}

nb::object direction_of(nb::handle code) { return nb::borrow(equal(code, names.zero_text) ? names.BUY : names.SELL); }

// (a, b) or (a, b, c), each reference stolen: the books' keys, made without
// a call into the host.
nb::tuple key_of(nb::object a, nb::object b, nb::object c = nb::object()) {
    PyObject *key = PyTuple_New(c.is_valid() ? 3 : 2);
    if (key == nullptr) throw nb::python_error();
    PyTuple_SET_ITEM(key, 0, a.release().ptr());
    PyTuple_SET_ITEM(key, 1, b.release().ptr());
    if (c.is_valid()) PyTuple_SET_ITEM(key, 2, c.release().ptr());
    return nb::steal<nb::tuple>(key);
}

// A row's trading day must be the login's (when it has one).
void check_day(nb::handle row, nb::handle day, const char *message_text) {
    nb::object row_day = get_not_none(row, names.TradingDay);
    if (row_day.is_valid() && truthy(row_day) && !equal(row_day, day)) errors::throw_error(out_of_sync(), message_text);
}

}  // namespace

nb::object symbol_of(nb::handle row) {
    nb::object exchange = item(row, names.ExchangeID), instrument = item(row, names.InstrumentID);
    if (PyUnicode_CheckExact(exchange.ptr()) && PyUnicode_CheckExact(instrument.ptr())) {
        if (is_ascii_text(exchange) && is_ascii_text(instrument))
            return ascii_text({ascii_of(exchange), ".", ascii_of(instrument)});
        nb::object head = check(PyUnicode_Concat(exchange.ptr(), names.dot));
        return check(PyUnicode_Concat(head.ptr(), instrument.ptr()));
    }
    nb::object head = check(PyNumber_Add(exchange.ptr(), names.dot));
    return check(PyNumber_Add(head.ptr(), instrument.ptr()));
}

bool Trading::is_spec_order(nb::handle row) {
    nb::object flag = get_not_none(row, names.CombHedgeFlag);
    if (!flag.is_valid()) return false;
    nb::str text = to_str(flag);
    return PyUnicode_GET_LENGTH(text.ptr()) > 0 && PyUnicode_READ_CHAR(text.ptr(), 0) == '1';
}

bool Trading::is_spec_trade(nb::handle row) {
    nb::object flag = get_not_none(row, names.HedgeFlag);
    return flag.is_valid() && equal(flag, names.one_text);
}

nb::object Trading::by_ref(nb::handle ref) {
    nb::object key = nb::make_tuple(front, session, to_str(ref));
    nb::object oid = nb::borrow(dict_find(ref_orders, key));
    PyObject *child = oid.is_valid() ? dict_find(native_orders, oid) : nullptr;
    return nb::borrow(child != nullptr ? child : Py_None);
}

nb::tuple Trading::trade_key(nb::handle row) {
    // Each exchange numbers its own trades, and a self-trade is reported as
    // two trades of one number, one a direction.
    nb::object tid = stripped_field(row, names.TradeID);
    if (!truthy(tid)) errors::throw_error(books_broken(), "CTP 成交回报缺少 TradeID");
    return key_of(exchange_of(row), std::move(tid), direction_of(get_or(row, names.Direction, Py_None)));
}

nb::object Trading::system_key(nb::handle exchange, nb::handle system) {
    if (system.is_none() || !truthy(system)) return nb::none();
    return key_of(nb::borrow(exchange), nb::borrow(system));
}

nb::object Trading::exchange_of(nb::handle row) { return get_or(row, names.ExchangeID, names.empty); }

nb::dict Trading::child_of(nb::handle row, RowIds *ids) {
    // An exact dict is read once here, and what it holds handed on in `ids`.
    auto field = [&](PyObject *key, nb::handle fallback, nb::object *kept) {
        if (ids != nullptr && PyDict_CheckExact(row.ptr())) {
            PyObject *value = dict_find(row, key);
            if (value == nullptr) return nb::borrow(fallback);
            *kept = nb::borrow(value);
            return *kept;
        }
        return get_or(row, key, fallback);
    };
    RowIds unused;
    RowIds &out = ids != nullptr ? *ids : unused;
    nb::object row_front = field(names.FrontID, front, &out.front);
    nb::object row_session = field(names.SessionID, session, &out.session);
    nb::object ref = to_str(field(names.OrderRef, names.empty, &out.ref));
    nb::object key = nb::make_tuple(row_front, row_session, ref);
    nb::object raw = field(names.OrderSysID, names.empty, &out.system);
    nb::object system = text_or_none(stripped(raw));

    nb::object system_id = system_key(exchange_of(row), system);
    nb::object by_ref = nb::borrow(dict_find(ref_orders, key));
    nb::object by_system = system_id.is_none() ? nb::object() : nb::borrow(dict_find(system_orders, system_id));
    if (by_ref.is_valid() && by_system.is_valid() && !equal(by_ref, by_system))
        errors::throw_error(books_broken(), "同一个 CTP OrderSysID 关联到不同订单");
    nb::object oid = by_ref.is_valid() ? by_ref : by_system;
    if (!oid.is_valid() || oid.is_none()) {
        // New to the books: an order record and its child, PENDING.
        oid = local_order_id(row_front, row_session, ref);
        nb::object symbol = symbol_of(row);
        nb::object direction = direction_of(get_or(row, names.Direction, Py_None));
        nb::object flags = get_not_none(row, names.CombOffsetFlag);
        if (!flags.is_valid() || !truthy(flags)) flags = get_or(row, names.OffsetFlag, Py_None);
        nb::object offset = order_offset(flags);
        (void)add_order({.order_id = oid,
                         .order_sys_id = system,
                         .symbol = symbol,
                         .direction = direction,
                         .offset = offset,
                         .limit_price = finite(get_or(row, names.LimitPrice, Py_None)),
                         .volume = int_of(0),
                         .insert_time = timestamp(get_or(row, names.InsertDate, names.empty),
                                                  get_or(row, names.InsertTime, names.empty)),
                         .exchange_order_id = truthy(raw) ? nb::borrow(raw) : nb::borrow(names.empty),
                         .close_type = nb::borrow(names.UNSPECIFIED),
                         .ref = ref,
                         .front = row_front,
                         .session = row_session});
    }
    if (!by_ref.is(oid)) dict_store(ref_orders, key, oid);
    nb::object child = item(native_orders, oid);
    if (!system.is_none()) {
        nb::object known = item(child, child_key.exchange_order_id);
        // The number as known, stripped (an exact str compared in place).
        if (!(PyUnicode_CheckExact(known.ptr()) && strips_to(known, system))) {
            known = stripped(known);
            if (truthy(known) && !equal(known, system)) errors::throw_error(books_broken(), "已有订单的 CTP OrderSysID 发生变化");
        }
        if (!by_system.is(oid)) dict_store(system_orders, system_id, oid);
    }
    return nb::borrow<nb::dict>(child);
}

// The keys in the orders of TORVO_ORDER_FIELDS and TORVO_CHILD_FIELDS, where
// the session's reads expect them.
nb::dict Trading::add_order(const NewOrder &n) {
    nb::object zero = int_of(0);
    static Shape order_shape, child_shape;
    dict_store(order_book, n.order_id,
        dict_of(order_shape, {{names.order_id, n.order_id},
                              {names.order_sys_id, n.order_sys_id},
                              {names.symbol, n.symbol},
                              {names.direction, n.direction},
                              {names.offset, n.offset},
                              {names.limit_price, n.limit_price},
                              {names.volume_original, n.volume},
                              {names.volume_traded, zero},
                              {names.volume_left, n.volume},
                              {names.status, names.PENDING},
                              {names.status_msg, names.empty},
                              {names.cancel_pending, Py_False},
                              {names.cancel_error, Py_None},
                              {names.insert_time, n.insert_time}}));
    nb::dict child = dict_of(child_shape, {{names.order_id, n.order_id},
                                           {names.parent, n.order_id},
                                           {names.symbol, n.symbol},
                                           {names.direction, n.direction},
                                           {names.offset, n.offset},
                                           {names.exchange_order_id, n.exchange_order_id},
                                           {names.close_type, n.close_type},
                                           {names.volume_original, n.volume},
                                           {names.volume_traded, zero},
                                           {names.volume_left, n.volume},
                                           {names.status, names.PENDING},
                                           {names.is_confirmed, Py_False},
                                           {names.status_msg, names.empty},
                                           {names.cancel_pending, Py_False},
                                           {names.cancel_error, Py_None},
                                           {names.ref, n.ref},
                                           {names.front, n.front},
                                           {names.session, n.session},
                                           {names.cancel_request_id, Py_None},
                                           {names.pending_finish, Py_False},
                                           {names.expected_traded, zero},
                                           {names.finish_status, Py_None},
                                           {names.finish_msg, names.empty}});
    dict_store(native_orders, n.order_id, child);
    index_add(n.order_id, child);
    guard_order_added(n.order_id, child);
    return child;
}

void Trading::order(nb::handle row, nb::handle query_revision) {
    check_day(row, day, "订单回报的交易日发生变化");
    RowIds ids;
    nb::dict child = child_of(row, &ids);
    nb::object oid = item(child, child_key.order_id);
    if (!query_revision.is_none() && less(query_revision, get_or(order_revisions, oid.ptr(), int_of(0)).ptr()))
        return;  // a query row older than the order's last change
    // The child's status message as this return found it (a held-back
    // finish and a refused cancel keep it).
    const nb::object before_msg = item_if_present(child, child_key.status_msg);
    auto message_before = [&] { return before_msg.is_valid() ? before_msg : item(child, child_key.status_msg); };

    nb::object submit = get_or(row, names.OrderSubmitStatus, Py_None);
    nb::object code = item(row, names.OrderStatus);
    PyObject *status = equal(submit, names.submit_rejected) ? names.REJECTED
                       : equal(code, names.zero_text)       ? names.FILLED
                       : equal(code, names.status_part_gone) || equal(code, names.status_none_gone) ||
                               equal(code, names.status_cancelled)
                           ? names.CANCELLED
                           : names.ALIVE;
    const bool final_status = status != names.ALIVE;

    nb::object current = item(child, child_key.status);
    const bool was_finished = terminal(current);
    if (equals_text(current, names.FILLED) && status != names.FILLED) return;
    if (equals_text(current, names.REJECTED) && status != names.REJECTED) return;
    if (equals_text(current, names.CANCELLED) && status != names.CANCELLED && status != names.REJECTED) return;
    if (truthy(item(child, child_key.pending_finish)) && !final_status) return;

    nb::object ordered = item(row, names.VolumeTotalOriginal);
    nb::object expected = max_of(get_or(row, names.VolumeTraded, int_of(0)), get_or(child, child_key.expected_traded, int_of(0)));
    if (status == names.FILLED) expected = max_of(expected, ordered);
    nb::handle close_type = close_type_of(item(row, names.CombOffsetFlag));
    const bool cancel_refused = equal(submit, names.submit_cancel_refused);
    nb::object text = cancel_refused && status == names.ALIVE ? message_before() : nb::borrow(names.empty);
    if (!truthy(text))
        text = nb::borrow(status == names.FILLED      ? names.msg_filled
                          : status == names.CANCELLED ? names.msg_cancelled
                          : status == names.REJECTED  ? names.msg_rejected
                                                      : names.empty);

    // Each field is written once, with its final value; `changed` tells
    // whether the child now differs from before.
    nb::object traded = item(child, child_key.volume_traded);
    nb::object left = sub(ordered, traded);
    nb::object row_front = ids.front.is_valid() ? ids.front : item(row, names.FrontID);
    nb::object row_session = ids.session.is_valid() ? ids.session : item(row, names.SessionID);
    nb::object row_ref = ids.ref.is_valid() ? ids.ref : item(row, names.OrderRef);
    bool changed = assign(child, child_key.exchange_order_id,
                          ids.system.is_valid() ? ids.system : get_or(row, names.OrderSysID, names.empty));
    changed |= assign(child, child_key.close_type, close_type);
    changed |= assign(child, child_key.volume_original, ordered);
    changed |= assign(child, child_key.volume_left, left);
    changed |= assign(child, child_key.is_confirmed, Py_True);
    changed |= assign(child, child_key.front, row_front);
    changed |= assign(child, child_key.session, row_session);
    changed |= assign(child, child_key.ref, row_ref);
    changed |= assign(child, child_key.expected_traded, expected);
    if (less(left, int_of(0))) {
        store(child, child_key.status_msg, text);
        errors::throw_error(books_broken(), "成交数量超过订单原始数量");
    }

    // An order already filled by its trades is not held back again by a
    // return that counts more lots than it has (it would wait for ever, shown
    // as working).
    const bool held = final_status && less(traded, expected) && !equals_text(current, names.FILLED);
    changed |= assign(child, child_key.pending_finish, held ? Py_True : Py_False);
    changed |= assign(child, child_key.status_msg, held ? message_before() : text);
    changed |= assign(child, child_key.finish_status, held ? status : Py_None);
    changed |= assign(child, child_key.finish_msg, held ? text.ptr() : names.empty);
    changed |= assign(child, child_key.status, held ? names.ALIVE : status);
    // A cancelled order reported rejected with lots still to come is working
    // again until they arrive: the index, which dropped it, is rebuilt.
    if (was_finished && held) {
        index_stale();
        guard_working_again(oid, child);
    }
    if (!held && status == names.CANCELLED && !equals_text(current, names.CANCELLED)) guard_cancelled(child);
    if (final_status) {
        changed |= assign(child, child_key.cancel_pending, Py_False);
        changed |= assign(child, child_key.cancel_error, Py_None);
        if (!held) index_drop(oid, child);
    } else if (cancel_refused && truthy(item(child, child_key.cancel_pending)) &&
               !item(child, child_key.cancel_request_id).is_none()) {
        changed |= assign(child, child_key.cancel_pending, Py_False);
        changed |= assign(child, child_key.cancel_error, names.msg_cancel_refused);
    }

    nb::object record = item(order_book, item(child, child_key.parent));
    if (item(record, order_key.limit_price).is_none()) {
        store(record, order_key.limit_price, finite(get_or(row, names.LimitPrice, Py_None)));
        store(record, order_key.insert_time,
            timestamp(get_or(row, names.InsertDate, names.empty), get_or(row, names.InsertTime, names.empty)));
    }

    if (changed) {
        ++revision;
        dict_store(order_revisions, oid, int_of(revision));
        if (position_ready) recompute_frozen(nb::none(), item(child, child_key.symbol));
        aggregate(child);
        schedule_account();
        touch();
    }

    // Trades of this order's exchange that arrived before its OrderSysID was
    // known.
    if (dict_size(pending_trades) == 0) return;
    nb::object system = stripped_field(row, names.OrderSysID);
    if (!truthy(system)) return;
    nb::object exchange = exchange_of(row);
    nb::object parked = check(PyDict_Values(pending_trades.ptr()));
    for (nb::handle trade_row : parked)
        if (equal(stripped_field(trade_row, names.OrderSysID), system) && equal(exchange_of(trade_row), exchange))
            trade(trade_row, position_ready);
}

bool Trading::trade(nb::handle row, bool update_position) {
    if (!is_spec_trade(row)) return false;
    check_day(row, day, "成交回报的交易日发生变化");
    nb::tuple key = trade_key(row);
    if (dict_has(trade_book, key)) return false;  // seen already (live, then in the trade query)
    nb::object system = stripped_field(row, names.OrderSysID);
    nb::object system_id = system_key(PyTuple_GET_ITEM(key.ptr(), 0), system);
    nb::object oid = system_id.is_none() ? nb::object() : nb::borrow(dict_find(system_orders, system_id));
    if (!oid.is_valid()) {
        // The order is not in the books yet: park the trade until it is.
        if (!dict_has(pending_trades, key)) {
            if (dict_size(pending_trades) >= kParkedTradeLimit) errors::throw_error(books_broken(), "未关联订单的成交暂存队列已满");
            dict_store(pending_trades, key, row);
        }
        return false;
    }
    dict_discard(pending_trades, key);
    nb::object child = item(native_orders, oid);
    nb::object volume = item(row, names.Volume);
    if (!PyLong_CheckExact(volume.ptr()) || !less(int_of(0), volume)) errors::throw_error(books_broken(), "成交数量无效");

    nb::object traded = add(item(child, child_key.volume_traded), volume);
    nb::object left = sub(item(child, child_key.volume_original), traded);
    store(child, child_key.volume_traded, traded);
    store(child, child_key.volume_left, left);
    if (less(left, int_of(0))) errors::throw_error(books_broken(), "成交数量超过订单原始数量");

    if (truthy(item(child, child_key.pending_finish)) && !less(traded, item(child, child_key.expected_traded))) {
        // The counted trades are in: the held-back finish takes effect.
        store(child, child_key.pending_finish, Py_False);
        nb::object held = pop(child, child_key.finish_status);
        if (!held.is_valid()) errors::throw_error(PyExc_KeyError, child_key.finish_status.name);  // as dict.pop raises
        store(child, child_key.status, held);
        if (equals_text(held, names.CANCELLED)) guard_cancelled(child);
        nb::object held_msg = pop(child, child_key.finish_msg);
        store(child, child_key.status_msg, held_msg.is_valid() ? held_msg.ptr() : names.empty);
    }
    if (equal(left, int_of(0))) {
        // Filled by trades, whatever the last order return said.
        store(child, child_key.pending_finish, Py_False);
        if (!equals_text(item(child, child_key.status), names.FILLED) || !truthy(item(child, child_key.status_msg)))
            store(child, child_key.status_msg, names.msg_filled);
        store(child, child_key.status, names.FILLED);
    }
    if (terminal(item(child, child_key.status))) {
        store(child, child_key.cancel_pending, Py_False);
        store(child, child_key.cancel_error, Py_None);
        index_drop(oid, child);
    }

    nb::object symbol = symbol_of(row);
    static Shape trade_shape;
    dict_store(trade_book, key,
        dict_of(trade_shape, {{names.trade_id, nb::handle(PyTuple_GET_ITEM(key.ptr(), 1))},
                 {names.order_sys_id, system},
                 {names.symbol, symbol},
                 {names.direction, direction_of(item(row, names.Direction))},
                 {names.offset, order_offset(item(row, names.OffsetFlag))},
                 {names.price, item(row, names.Price)},
                 {names.volume, volume},
                 {names.trade_time, timestamp(item(row, names.TradeDate), item(row, names.TradeTime))}}));
    guard_trade(symbol);
    if (update_position) {
        apply_position_trade(row, symbol);
        recompute_frozen(nb::none(), symbol);
    }
    aggregate(child);
    schedule_account();
    touch();
    return true;
}

void Trading::aggregate(nb::handle child) {
    if (child.is_none()) {
        nb::object children = check(PyDict_Values(native_orders.ptr()));
        for (nb::handle each : children) aggregate(each);
        return;
    }
    nb::object record = item(order_book, item(child, child_key.order_id));
    nb::object raw = item(child, child_key.exchange_order_id);
    if (!holds_system_id(record, raw)) store(record, order_key.order_sys_id, text_or_none(stripped(raw)));
    const std::pair<Field, Field> copied[] = {
        {order_key.volume_original, child_key.volume_original}, {order_key.volume_traded, child_key.volume_traded},
        {order_key.volume_left, child_key.volume_left},         {order_key.status, child_key.status},
        {order_key.status_msg, child_key.status_msg},           {order_key.cancel_pending, child_key.cancel_pending},
        {order_key.cancel_error, child_key.cancel_error}};
    for (auto [to, from] : copied) (void)assign(record, to, item(child, from));
}

}  // namespace torvo::trading
