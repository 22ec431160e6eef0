// Orders: `insert` checks a limit order, plans it as one or two exchange
// orders (a close on the exchanges that tell today's lots from earlier ones
// is split), registers every planned order, hands each to the bridge and
// reports what left; `cancel` asks for the cancellation of a working order.
#include <cmath>
#include <limits>
#include <vector>

#include "session.h"

namespace torvo::trading {

namespace {

// The parts of "EXCHANGE.INSTRUMENT", split at the first ".".
std::pair<nb::object, nb::object> split_symbol(nb::handle symbol) {
    nb::str text = to_str(symbol);
    Py_ssize_t at = PyUnicode_FindChar(text.ptr(), '.', 0, PyUnicode_GET_LENGTH(text.ptr()), 1);
    if (at == -2) throw nb::python_error();
    if (at < 0) errors::throw_error(PyExc_ValueError, "合约代码缺少交易所");
    return {check(PyUnicode_Substring(text.ptr(), 0, at)),
            check(PyUnicode_Substring(text.ptr(), at + 1, PyUnicode_GET_LENGTH(text.ptr())))};
}

nb::object result(PyObject *status, nb::handle order_id, PyObject *text) {
    return nb::handle(g.TradingResult)(nb::handle(status), order_id, nb::handle(text));
}

nb::list results_of(PyObject *status, nb::handle order_id, PyObject *text) {
    nb::list out;
    out.append(result(status, order_id, text));
    return out;
}

// An exception the bridge raises for a field it cannot convert.
bool unconvertible(const nb::python_error &e) {
    return e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError) || e.matches(PyExc_OverflowError);
}

// Whether limit_price lies on the tick grid: math.isclose(price / tick,
// round(price / tick), rel_tol=0, abs_tol=1e-07).
bool on_tick(nb::handle price, nb::handle tick) {
    auto plain = [](PyObject *v) {
        if (PyFloat_CheckExact(v)) return true;
        if (!PyLong_CheckExact(v)) return false;
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        return overflow == 0 && n > -(1LL << 53) && n < (1LL << 53);  // exact as a double
    };
    if (plain(price.ptr()) && plain(tick.ptr())) {
        double ratio = to_double(price) / to_double(tick);
        // round() refuses what has no integer value, with its own errors.
        if (std::isnan(ratio)) errors::throw_error(PyExc_ValueError, "cannot convert float NaN to integer");
        if (std::isinf(ratio)) errors::throw_error(PyExc_OverflowError, "cannot convert float infinity to integer");
        return std::fabs(ratio - std::nearbyint(ratio)) <= 1e-07;
    }
    nb::object ratio = check(PyNumber_TrueDivide(price.ptr(), tick.ptr()));
    nb::object nearest = call_method(ratio, names.dunder_round);
    nb::object isclose = attr(module_attr(names.math), names.isclose);
    return truthy(call_kw(isclose, {ratio, nearest}, {{names.rel_tol, int_of(0)}, {names.abs_tol, float_of(1e-07)}}));
}

}  // namespace

bool Trading::accepts_orders() const {
    return phase_code == Phase::Ready && equals_text(session_status, names.READY) && !reset_pending;
}

// ---- insert --------------------------------------------------------------

void Trading::check_order(nb::handle symbol, nb::handle direction, nb::handle offset, nb::handle volume,
                          nb::handle limit_price) {
    module_attr(names.check_symbol)(symbol);
    if (!equal(direction, names.BUY) && !equal(direction, names.SELL)) errors::throw_error(PyExc_ValueError, "direction 必须是 BUY 或 SELL");
    if (!equal(offset, names.OPEN) && !equal(offset, names.CLOSE)) errors::throw_error(PyExc_ValueError, "offset 必须是 OPEN 或 CLOSE");
    if (!PyLong_CheckExact(volume.ptr()) || less(volume, int_of(1)) || less(g.max_volume, volume))
        errors::throw_error(PyExc_ValueError, "volume 必须是 1 到 2147483647 之间的 int");
    if (PyBool_Check(limit_price.ptr()) || finite(limit_price).is_none() || !less(int_of(0), limit_price))
        errors::throw_error(PyExc_ValueError, "limit_price 必须是大于 0 的有限数");
}

nb::list Trading::insert_now(nb::handle symbol, nb::handle direction, nb::handle offset, nb::handle volume,
                             nb::handle limit_price, nb::handle advanced) {
    if (nb::object refused = guard_insert(symbol, direction, offset, volume, limit_price); refused.is_valid())
        return results_of(names.REJECTED, Py_None, refused.ptr());
    // FAK: what does not fill at once is cancelled; FOK: all at once or nothing.
    PyObject *time_condition = equals_text(advanced, names.FAK) || equals_text(advanced, names.FOK) ? names.one_text : names.three_text;
    PyObject *volume_condition = equals_text(advanced, names.FOK) ? names.three_text : names.one_text;

    // ---- planning: nothing changes until every check has passed
    if (!accepts_orders()) errors::throw_error(g.ExError, nb::handle(names.msg_not_ready_ex));
    nb::object instrument = get_not_none(instruments, symbol.ptr());
    if (!instrument.is_valid() || !truthy(instrument) || !truthy(get_or(instrument, names.IsTrading, Py_None)))
        errors::throw_error(PyExc_ValueError, "合约不存在、不受支持或当前不可交易");
    nb::object tick = item(instrument, names.PriceTick);
    if (less(int_of(0), tick) && !on_tick(limit_price, tick)) errors::throw_error(PyExc_ValueError, "limit_price 不符合合约最小变动价位");

    std::vector<std::pair<PyObject *, nb::object>> plan;  // (offset word, lots)
    if (equal(offset, names.OPEN)) {
        plan.emplace_back(names.OPEN, nb::borrow(volume));
    } else {
        auto [earlier, today] = free_parts(symbol, equal(direction, names.SELL) ? names.long_ : names.short_);
        if (less(add(earlier, today), volume)) errors::throw_error(PyExc_ValueError, "本地参考可平持仓数量不足");
        nb::object exchange = split_symbol(symbol).first;
        if (equal(exchange, names.SHFE) || equal(exchange, names.INE)) {
            nb::object history = min_of(earlier, volume);
            if (less(int_of(0), history)) plan.emplace_back(names.CLOSE_YESTERDAY, history);
            if (less(history, volume)) plan.emplace_back(names.CLOSE_TODAY, sub(volume, history));
        } else {
            plan.emplace_back(names.CLOSE, nb::borrow(volume));
        }
    }
    for (auto &[word, lots] : plan) {
        (void)word;
        if (less(lots, item(instrument, names.MinLimitOrderVolume)) || less(item(instrument, names.MaxLimitOrderVolume), lots))
            errors::throw_error(PyExc_ValueError, "单笔委托数量超出合约限价委托范围");
    }
    (void)free_parts(symbol, names.long_);  // the reservations of both sides must be consistent
    (void)free_parts(symbol, names.short_);
    auto [exchange, instrument_id] = split_symbol(symbol);
    if (order_ref > std::numeric_limits<long long>::max() - static_cast<long long>(plan.size()))
        errors::throw_error(PyExc_OverflowError, "报单引用超出范围");

    // ---- registration: every planned order exists before the first is sent
    std::vector<std::pair<nb::dict, nb::object>> registered;  // (child, offset flag)
    for (auto &[word, lots] : plan) {
        nb::object ref = to_str(int_of(++order_ref));
        nb::str oid = local_order_id(front, session, ref);
        nb::handle close_type = word == names.OPEN        ? nb::handle(Py_None)
                                : word == names.CLOSE_TODAY ? nb::handle(names.TODAY)
                                : word == names.CLOSE_YESTERDAY ? nb::handle(names.HISTORY)
                                                                : nb::handle(names.UNSPECIFIED);
        nb::dict child = add_order({.order_id = oid,
                                    .order_sys_id = nb::none(),
                                    .symbol = nb::borrow(symbol),
                                    .direction = nb::borrow(direction),
                                    .offset = nb::borrow(word),
                                    .limit_price = nb::borrow(limit_price),
                                    .volume = lots,
                                    .insert_time = int_of(now_ms()),
                                    .exchange_order_id = nb::borrow(names.empty),
                                    .close_type = nb::borrow(close_type),
                                    .ref = ref,
                                    .front = front,
                                    .session = session});
        dict_store(ref_orders, nb::make_tuple(front, session, ref), oid);
        registered.emplace_back(std::move(child), item(g.FLAG_BY_OFFSET, word));
    }

    // ---- submission, in order; after a failure nothing more is sent
    nb::list results;
    bool submit_failed = false, any_sent = false;
    for (auto &[child, flag] : registered) {
        nb::object oid = item(child, names.order_id);
        PyObject *text = names.empty;
        if (submit_failed) {
            text = names.msg_not_sent;
        } else {
            store(child, names.request_id, add(int_of(request_id), g.one));
            static Shape insert_shape;
            nb::dict fields = dict_of(insert_shape, {{names.InstrumentID, instrument_id},
                                                     {names.ExchangeID, exchange},
                                                     {names.OrderRef, item(child, names.ref)},
                                                     {names.Direction, equal(direction, names.BUY) ? names.zero_text : names.one_text},
                                                     {names.CombOffsetFlag, flag.ptr()},
                                                     {names.CombHedgeFlag, names.one_text},
                                                     {names.OrderPriceType, names.two_text},
                                                     {names.LimitPrice, limit_price},
                                                     {names.VolumeTotalOriginal, item(child, names.volume_original)},
                                                     {names.TimeCondition, time_condition},
                                                     {names.VolumeCondition, volume_condition},
                                                     {names.MinVolume, g.one},
                                                     {names.ContingentCondition, names.one_text},
                                                     {names.ForceCloseReason, names.zero_text},
                                                     {names.IsAutoSuspend, g.zero},
                                                     {names.UserForceClose, g.zero}});
            bool unknown = false;
            try {
                auto [rid, code] = request(names.OrderInsert, fields);
                store(child, names.request_id, int_of(rid));
                if (!equals_int(code, 0)) text = names.msg_insert_refused;
            } catch (nb::python_error &e) {
                if (unconvertible(e)) {
                    text = names.msg_insert_unconvertible;
                } else if (e.matches(PyExc_Exception)) {
                    unknown = true;
                } else {
                    throw;
                }
            }
            if (unknown) {
                // The request may have left: the order stays for its returns to settle.
                store(child, names.status_msg, names.msg_insert_unknown);
                results.append(result(names.UNKNOWN, oid, names.msg_insert_unknown));
                submit_failed = any_sent = true;
                continue;
            }
        }
        if (text != names.empty) {
            forget_order(oid, child);
            results.append(result(names.REJECTED, Py_None, text));
            submit_failed = true;
            continue;
        }
        results.append(result(names.SUBMITTED, oid, names.empty));
        any_sent = true;
    }

    // ---- completion
    recompute_frozen(nb::none(), symbol);
    for (auto &[child, flag] : registered) {
        (void)flag;
        if (dict_has(native_orders, item(child, names.order_id))) aggregate(child);
    }
    if (any_sent) {
        if (limits_.on) guard_sent(symbol, direction, offset, volume, limit_price);
        schedule_account();
        touch();
    }
    return results;
}

void Trading::forget_order(nb::handle order_id, nb::handle child) {
    nb::object key = nb::make_tuple(item(child, names.front), item(child, names.session), item(child, names.ref));
    guard_order_forgotten(order_id, child);
    index_remove(order_id, child);
    dict_discard(order_book, order_id);
    dict_discard(ref_orders, key);
}

namespace {

// `value` as the interned word of `words` it equals (compared as exact str,
// so no code of the caller's runs); the value itself when none, for
// check_order to refuse.
nb::object exact_word(nb::handle value, std::initializer_list<PyObject *> words) {
    if (!PyUnicode_Check(value.ptr())) return nb::borrow(value);
    nb::object text = exact_text(value);
    for (PyObject *word : words)
        if (PyUnicode_Compare(text.ptr(), word) == 0) return nb::borrow(word);
    return text;
}

// An int or float subclass as the exact int or float of its value; anything
// else unchanged.
nb::object exact_number(nb::handle value) {
    PyObject *v = value.ptr();
    if (PyFloat_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v)) return nb::borrow(value);
    if (PyFloat_Check(v)) return float_of(PyFloat_AS_DOUBLE(v));
    if (PyLong_Check(v)) return check(PyNumber_Long(v));
    return nb::borrow(value);
}

}  // namespace

// insert(): the caller's mistakes and every business refusal become one
// REJECTED result; anything else propagates.
coro::Coroutine insert_body(Trading *self, nb::handle symbol, nb::handle direction, nb::handle offset,
                            nb::handle volume, nb::handle limit_price, nb::handle advanced) {
    if (!self->accepts_orders()) co_return coro::result(results_of(names.REJECTED, Py_None, names.msg_not_ready_insert));
    nb::list results;
    bool refused = false;
    try {
        // Only exact values reach the books: the interned words, an exact str
        // symbol, an exact int or float price.
        nb::object text = exact_text(symbol);
        nb::object side = exact_word(direction, {names.BUY, names.SELL});
        nb::object open_close = exact_word(offset, {names.OPEN, names.CLOSE});
        nb::object price = exact_number(limit_price);
        self->check_order(text, side, open_close, volume, price);
        nb::object kind = exact_word(advanced, {names.FAK, names.FOK});
        if (!kind.is_none() && kind.ptr() != names.FAK && kind.ptr() != names.FOK)
            errors::throw_error(PyExc_ValueError, "advanced 必须是 None、FAK 或 FOK");
        results = self->insert_now(text, side, open_close, volume, price, kind);
    } catch (nb::python_error &e) {
        if (!(e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError) || e.matches(PyExc_OverflowError) ||
              e.matches(PyExc_BufferError) || e.matches(PyExc_KeyError)))
            throw;
        refused = true;
    }
    if (refused) co_return coro::result(results_of(names.REJECTED, Py_None, names.msg_insert_invalid));
    co_return coro::result(results);
}

coro::Coroutine insert_now_body(Trading *self, nb::handle symbol, nb::handle direction, nb::handle offset,
                                nb::handle volume, nb::handle limit_price, nb::handle advanced) {
    co_return coro::result(self->insert_now(symbol, direction, offset, volume, limit_price, advanced));
}

// ---- cancel --------------------------------------------------------------

nb::list Trading::cancel(nb::handle caller_id) {
    if (!PyUnicode_Check(caller_id.ptr())) return nb::list();
    const nb::object order_id = exact_text(caller_id);
    nb::object order = nb::borrow(dict_find(order_book, order_id));
    if ((!order.is_valid() || order.is_none()) && orders.is_valid() && !orders.is_none()) {
        PyObject *published = dict_find(check_borrowed(g.ledger->data(orders.ptr())), order_id);
        if (published != nullptr) order = nb::borrow(check_borrowed(g.ledger->values(published)));
    }
    if (!order.is_valid() || order.is_none()) return nb::list();
    nb::object status = get_or(order, names.status, Py_None);
    if (terminal(status)) return nb::list();

    if (!equals_text(session_status, names.READY) || reset_pending)
        return results_of(names.REJECTED, order_id, names.msg_cancel_not_ready);
    nb::object child = nb::borrow(dict_find(native_orders, order_id));
    if (!child.is_valid() || child.is_none()) return results_of(names.REJECTED, order_id, names.msg_cancel_unconfirmed);
    if (truthy(get_or(child, names.pending_finish, Py_False)) || truthy(get_or(child, names.cancel_pending, Py_False)))
        return nb::list();  // finishing, or a cancellation already under way
    nb::object exchange_order_id = item(child, names.exchange_order_id);
    if (!truthy(get_or(child, names.is_confirmed, Py_False)) || !truthy(stripped(exchange_order_id)))
        return results_of(names.REJECTED, order_id, names.msg_cancel_unconfirmed);

    nb::object symbol = item(child, names.symbol);
    if (nb::object refused = guard_cancel(symbol); refused.is_valid())
        return results_of(names.REJECTED, order_id, refused.ptr());
    auto [exchange, instrument_id] = split_symbol(symbol);
    nb::object outcome;
    long long rid = 0;
    try {
        static Shape action_shape;
        auto [sent, code] = request(names.OrderAction, dict_of(action_shape, {{names.InstrumentID, instrument_id},
                                                                               {names.ExchangeID, exchange},
                                                                               {names.OrderSysID, exchange_order_id},
                                                                               {names.ActionFlag, names.zero_text}}));
        if (!equals_int(code, 0)) return results_of(names.REJECTED, order_id, names.msg_cancel_refused_submit);
        outcome = result(names.SUBMITTED, order_id, names.empty);
        rid = sent;
    } catch (nb::python_error &e) {
        if (unconvertible(e)) return results_of(names.REJECTED, order_id, names.msg_cancel_unconvertible);
        if (!e.matches(PyExc_Exception)) throw;
        outcome = result(names.UNKNOWN, order_id, names.msg_cancel_unknown);
        rid = request_id;
    }
    store(child, names.cancel_request_id, int_of(rid));
    store(child, names.cancel_pending, Py_True);
    store(child, names.cancel_error, Py_None);
    guard_cancel_sent(symbol);
    aggregate(child);
    touch();
    nb::list out;
    out.append(outcome);
    return out;
}

}  // namespace torvo::trading
