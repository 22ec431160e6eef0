// The guard: limits checked before an order or a cancel leaves, the pause,
// cancel_all, and the counts of the trading day per symbol (what is counted
// is described in guard.h).
#include <algorithm>
#include <vector>

#include "session.h"

namespace torvo::trading {

namespace {

long long limit_of(nb::handle guard, const char *name) {
    nb::object value = nb::getattr(guard, name);
    return value.is_none() ? -1 : to_int(value);
}

// Whether `value` is a number above `limit`.
bool above(nb::handle value, long long limit) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow != 0) return overflow > 0;
        return n > limit;
    }
    return less(int_of(limit), value);
}

GuardCounts &counts_of(Trading &t, nb::handle symbol) {
    if (PyObject *at = dict_find(t.count_slots_, symbol)) return t.counts_[PyLong_AsSsize_t(at)];
    dict_store(t.count_slots_, symbol, int_of(static_cast<long long>(t.counts_.size())));
    return t.counts_.emplace_back();
}

// A new trading day: the session's own memory starts again (the counts of
// the books start again with the books).
void follow_day(Trading &t) {
    if (t.guard_day_.is_valid() && (t.guard_day_.ptr() == t.day.ptr() || equal(t.guard_day_, t.day))) return;
    t.guard_day_ = t.day;
    for (GuardCounts &c : t.counts_) c.refused = 0;
    t.sent_times_.clear();
    PyDict_Clear(t.recent_.ptr());
}

// The working orders of one side: working_ (buys) or working_sell_ (sells
// and any child of another direction).
nb::dict &side(Trading &t, nb::handle direction) { return equals_text(direction, names.BUY) ? t.working_ : t.working_sell_; }

// Drops the finished and forgotten children of one bucket of the index.
void prune(Trading &t, nb::handle bucket) {
    std::vector<nb::object> gone;
    Py_ssize_t pos = 0;
    PyObject *oid, *child;
    while (PyDict_Next(bucket.ptr(), &pos, &oid, &child))
        if (dict_find(t.native_orders, oid) != child || terminal(item(child, child_key.status)))
            gone.push_back(nb::borrow(oid));
    for (nb::object &each : gone) dict_discard(bucket, each);
}

// Prunes every bucket of both sides, counts what is left, and sets the size
// at which the next sweep comes: when the index may have doubled.
void sweep(Trading &t) {
    t.working_size_ = 0;
    for (nb::dict *index : {&t.working_, &t.working_sell_}) {
        nb::object buckets = check(PyDict_Values(index->ptr()));
        for (nb::handle bucket : buckets) {
            prune(t, bucket);
            t.working_size_ += dict_size(bucket);
        }
    }
    t.working_limit_ = std::max<Py_ssize_t>(256, 2 * t.working_size_);
}

// The time the rate and repeat limits read, once per insert: time.monotonic()
// through the module's binding, kept as the float it returned.
void guard_clock(Trading &t) {
    const GuardLimits &l = t.limits_;
    if (l.max_rate < 0 && l.repeat_ms < 0) return;
    t.guard_time_ = call_method(module_attr(names.time), names.monotonic);
    t.guard_now_ = to_double(t.guard_time_);
}

nb::object repeat_key(nb::handle symbol, nb::handle direction, nb::handle offset, nb::handle volume,
                      nb::handle limit_price) {
    return nb::make_tuple(symbol, direction, offset, limit_price, volume);
}

}  // namespace

void Trading::set_guard(nb::handle value) {
    GuardLimits l;
    if (!value.is_none()) {
        if (!PyObject_TypeCheck(value.ptr(), reinterpret_cast<PyTypeObject *>(g.TradingGuard)))
            errors::throw_error(PyExc_TypeError, "guard 必须是 TradingGuard 或 None");
        l.on = true;
        l.self_trade = truthy(nb::getattr(value, "self_trade"));
        l.max_cancels = limit_of(value, "max_cancels");
        l.max_rate = limit_of(value, "max_orders_per_second");
        l.max_lots = limit_of(value, "max_lots");
        l.repeat_ms = limit_of(value, "repeat_ms");
        const char *warned[] = {"warn_orders", "warn_cancels", "warn_cancelled", "warn_trades", "warn_refused"};
        for (int i = 0; i < 5; ++i) l.warn[i] = limit_of(value, warned[i]);
    }
    guard_ = nb::borrow(value);
    limits_ = l;
}

nb::object Trading::guard_insert(nb::handle symbol, nb::handle direction, nb::handle offset, nb::handle volume,
                                 nb::handle limit_price) {
    if (!paused_ && !limits_.on) return {};
    follow_day(*this);
    const GuardLimits &l = limits_;
    nb::object text;
    if (paused_) {
        text = nb::borrow(names.msg_paused);
    } else if (l.max_lots >= 0 && above(volume, l.max_lots)) {
        text = message({"单笔报单手数超过风控上限（max_lots=", int_of(l.max_lots), " 手），未提交"});
    } else {
        guard_clock(*this);
        if (l.max_rate >= 0) {
            while (!sent_times_.empty() && sent_times_.front() <= guard_now_ - 1.0) sent_times_.pop_front();
            if (static_cast<long long>(sent_times_.size()) >= l.max_rate)
                text = message({"报单频率超过风控上限（max_orders_per_second=", int_of(l.max_rate), " 笔/秒），未提交"});
        }
        if (!text.is_valid() && l.repeat_ms >= 0) {
            repeat_key_ = repeat_key(symbol, direction, offset, volume, limit_price);
            PyObject *at = dict_find(recent_, repeat_key_);
            if (at != nullptr && to_double(at) > guard_now_ - static_cast<double>(l.repeat_ms) / 1000.0)
                text = message({"与 ", int_of(l.repeat_ms), " 毫秒内已发送的报单重复（repeat_ms），未提交"});
        }
        if (!text.is_valid() && l.self_trade) {
            const bool buy = equals_text(direction, names.BUY);
            if (PyObject *bucket = dict_find(buy ? working_sell_ : working_, symbol)) {
                prune(*this, bucket);
                Py_ssize_t pos = 0;
                PyObject *oid, *child;
                while (PyDict_Next(bucket, &pos, &oid, &child)) {
                    if (!equals_text(item(child, child_key.direction), buy ? names.SELL : names.BUY)) continue;
                    PyObject *record = dict_find(order_book, item(child, child_key.parent));
                    if (record == nullptr) continue;
                    nb::object resting = get_or(record, order_key.limit_price, Py_None);
                    if (resting.is_none()) continue;
                    if (buy ? !less(limit_price, resting) : !less(resting, limit_price)) {
                        text = message({"报单可能与本会话的挂单 ", nb::handle(oid), " 自成交（self_trade），未提交"});
                        break;
                    }
                }
            }
        }
    }
    if (text.is_valid()) ++counts_of(*this, symbol).refused;
    return text;
}

void Trading::guard_sent(nb::handle symbol, nb::handle direction, nb::handle offset, nb::handle volume,
                         nb::handle limit_price) {
    const GuardLimits &l = limits_;
    if (l.max_rate >= 0) {
        sent_times_.push_back(guard_now_);
        while (static_cast<long long>(sent_times_.size()) > l.max_rate) sent_times_.pop_front();
    }
    if (l.repeat_ms >= 0) {
        dict_store(recent_, repeat_key_.is_valid() && !repeat_key_.is_none()
                         ? nb::handle(repeat_key_)
                         : nb::handle(repeat_key(symbol, direction, offset, volume, limit_price)),
            guard_time_);
        repeat_key_ = nb::none();
        // Entries out of the window go when the memory has doubled since the
        // last sweep: a constant share of each insert, and the memory stays
        // within twice the orders of one window.
        if (dict_size(recent_) >= recent_limit_) {
            const double since = guard_now_ - static_cast<double>(l.repeat_ms) / 1000.0;
            std::vector<nb::object> old;
            Py_ssize_t pos = 0;
            PyObject *key, *at;
            while (PyDict_Next(recent_.ptr(), &pos, &key, &at))
                if (to_double(at) <= since) old.push_back(nb::borrow(key));
            for (nb::object &each : old) dict_discard(recent_, each);
            recent_limit_ = std::max<Py_ssize_t>(64, 2 * dict_size(recent_));
        }
    }
}

nb::object Trading::guard_cancel(nb::handle symbol) {
    if (limits_.max_cancels < 0) return {};
    follow_day(*this);
    GuardCounts &c = counts_of(*this, symbol);
    if (c.cancels() < limits_.max_cancels) return {};
    ++c.refused;
    return message({"撤单次数已达风控上限（max_cancels=", int_of(limits_.max_cancels), " 次/合约/交易日），撤单未提交"});
}

void Trading::guard_cancel_sent(nb::handle symbol) { ++counts_of(*this, symbol).cancels_sent; }

void Trading::guard_order_added(nb::handle order_id, nb::handle child) {
    nb::object symbol = item(child, child_key.symbol);
    ++counts_of(*this, symbol).orders;
    guard_working_again(order_id, child);
}

void Trading::guard_working_again(nb::handle order_id, nb::handle child) {
    nb::object symbol = item(child, child_key.symbol);
    nb::dict &index = side(*this, item(child, child_key.direction));
    PyObject *bucket = dict_find(index, symbol);
    if (bucket == nullptr) {
        nb::dict fresh;
        dict_store(index, symbol, fresh);
        bucket = fresh.ptr();
    }
    dict_store(bucket, order_id, child);
    // Whatever left the books without the index hearing of it goes in a
    // sweep whenever the index may have doubled since the last one.
    if (++working_size_ >= working_limit_) sweep(*this);
}

void Trading::guard_working_drop(nb::handle order_id, nb::handle child) {
    nb::object symbol = get_or(child, child_key.symbol, Py_None);
    if (PyObject *bucket = dict_find(side(*this, get_or(child, child_key.direction, Py_None)), symbol))
        dict_discard(bucket, order_id);
}

void Trading::guard_order_forgotten(nb::handle order_id, nb::handle child) {
    --counts_of(*this, item(child, child_key.symbol)).orders;
    guard_working_drop(order_id, child);
}

void Trading::guard_cancelled(nb::handle child) { ++counts_of(*this, item(child, child_key.symbol)).cancelled; }

void Trading::guard_trade(nb::handle symbol) { ++counts_of(*this, symbol).trades; }

void keep_refusals(std::vector<GuardCounts> &counts) {
    for (GuardCounts &c : counts) c = GuardCounts{.refused = c.refused};
}

void Trading::guard_ready() {
    for (GuardCounts &c : counts_) {
        c.cancels_base = c.cancelled;
        c.cancels_sent = 0;
    }
    sweep(*this);
}

nb::list Trading::cancel_all(nb::handle symbol) {
    std::vector<nb::object> ids;
    auto collect = [&](nb::handle bucket) {
        prune(*this, bucket);
        Py_ssize_t pos = 0;
        PyObject *oid, *child;
        while (PyDict_Next(bucket.ptr(), &pos, &oid, &child)) ids.push_back(nb::borrow(oid));
    };
    for (nb::dict *index : {&working_, &working_sell_}) {
        if (symbol.is_none()) {
            nb::object buckets = check(PyDict_Values(index->ptr()));
            for (nb::handle bucket : buckets) collect(bucket);
        } else if (PyUnicode_Check(symbol.ptr())) {
            if (PyObject *bucket = dict_find(*index, exact_text(symbol))) collect(bucket);
        }
    }
    nb::list out;
    for (nb::object &oid : ids)
        for (nb::handle each : cancel(oid)) out.append(each);
    return out;
}

nb::dict Trading::counters() {
    follow_day(*this);
    nb::dict symbols;
    Py_ssize_t pos = 0;
    PyObject *symbol, *at;
    while (PyDict_Next(count_slots_.ptr(), &pos, &symbol, &at)) {
        const GuardCounts &c = counts_[PyLong_AsSsize_t(at)];
        const long long values[5] = {c.orders, c.cancels(), c.cancelled, c.trades, c.refused};
        if (values[0] == 0 && values[1] == 0 && values[2] == 0 && values[3] == 0 && values[4] == 0) continue;
        PyObject *keys[5] = {names.orders, names.cancels, names.cancelled, names.trades, names.refused};
        PyObject *warned[5] = {names.orders_warning, names.cancels_warning, names.cancelled_warning,
                               names.trades_warning, names.refused_warning};
        nb::dict row;
        for (int i = 0; i < 5; ++i) {
            dict_store(row, keys[i], int_of(values[i]));
            dict_store(row, warned[i], limits_.warn[i] >= 0 && values[i] >= limits_.warn[i] ? Py_True : Py_False);
        }
        dict_store(symbols, symbol, row);
    }
    nb::dict out;
    dict_store(out, names.trading_day, day);
    dict_store(out, names.paused, paused_ ? Py_True : Py_False);
    dict_store(out, names.symbols, symbols);
    return out;
}

void bind_guard(nb::class_<Trading> &cls) {
    cls.def_prop_ro(
        "guard", [](const Trading &t) { return t.guard_; }, nb::sig("def guard(self) -> TradingGuard | None"));
    cls.def_prop_ro("paused", [](const Trading &t) { return t.paused_; });
    cls.def(
        "pause", [](Trading &t) { t.paused_ = true; t.touch(); },
        "Refuse every later insert (REJECTED) until resume(); cancels still go out.");
    cls.def(
        "resume", [](Trading &t) { t.paused_ = false; t.touch(); }, "Lift pause().");
    cls.def(
        "cancel_all", [](Trading &t, nb::handle symbol) { return t.cancel_all(symbol); },
        nb::arg("symbol").none() = nb::none(), nb::sig("def cancel_all(self, symbol: str | None = None) -> list[TradingResult]"),
        "Cancel every working order in the books, or those of one symbol, as cancel() would each (the buys, then "
        "the sells); returns the TradingResult of every cancellation asked for.");
    cls.def(
        "counters", [](Trading &t) { return t.counters(); },
        nb::sig("def counters(self) -> dict[str, Any]"),
        "The counts of the trading day per symbol, their warning states, the day and whether the session is paused.");
}

}  // namespace torvo::trading
