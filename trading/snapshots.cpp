// Query completion: a finished snapshot query becomes session state, the
// login snapshots are checked against each other and the trading day, and
// the login moves on to its next step or to READY.  A snapshot that
// contradicts itself publishes nothing: it repeats part of the login, forces
// a reconnection (TimeoutError) or ends the session (ExError).
#include "session.h"

namespace torvo::trading {

namespace {

// set(trade keys) of the speculative rows, each also recorded in the books.
nb::object record_trades(Trading &t, nb::handle rows) {
    nb::object keys = check(PySet_New(nullptr));
    nb::object kept = nb::list();
    for (nb::handle row : rows) {
        if (!Trading::is_spec_trade(row)) continue;
        set_add(keys, t.trade_key(row));
        check(PyList_Append(kept.ptr(), row.ptr()));
    }
    for (nb::handle row : kept) t.trade(row, false);
    return keys;
}

bool subset(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LE);
    check(r);
    return r != 0;
}

}  // namespace

void Trading::complete(nb::handle query) {
    nb::object kind = item(query, names.kind), rows = item(query, names.rows);
    nb::object now = int_of(now_ms());

    if (equals_text(kind, names.instruments)) {
        nb::dict kept;
        for (nb::handle row : rows) {
            nb::object product = get_or(row, names.ProductClass, Py_None);
            if (equal(product, names.one_text) || equal(product, names.two_text)) dict_store(kept, symbol_of(row), row);
        }
        instruments = std::move(kept);
    } else if (equals_text(kind, names.orders)) {
        nb::object revision_at = item(query, names.revision);
        for (nb::handle row : rows)
            if (is_spec_order(row)) order(row, revision_at);
    } else if (equals_text(kind, names.trades_before)) {
        nb::object keys = record_trades(*this, rows);
        trade_before = nb::borrow<nb::set>(keys);
    } else if (equals_text(kind, names.positions)) {
        position_candidate = positions_of(rows, now);
    } else if (equals_text(kind, names.trades_after)) {
        nb::object after = record_trades(*this, rows);
        if (!subset(trade_before, after)) errors::throw_error(out_of_sync(), "登录期间成交查询结果回退，需要重建会话");
        bool live_missing = false;
        for (auto [key, row] : live_trade_buffer)
            if (!PySet_Contains(after.ptr(), key.ptr())) {
                live_missing = true;
                break;
            }
        if (!equal(trade_before, after) || live_missing || dict_size(pending_trades) != 0) {
            // Trades happened while the positions were queried: take the
            // trades before, the positions and the trades after again.
            trade_before = nb::borrow<nb::set>(after);
            position_candidate = nb::none();
            sync_index = PySequence_Index(g.SYNC_STEPS, names.trades_before);
            check(static_cast<int>(sync_index));
            phase_time = monotonic();
            touch();
            return;
        }
        nb::dict book;
        for (nb::handle symbol : positions)
            dict_store(book, symbol,
                nb::handle(g.empty_position)(symbol, dict_has(instruments, symbol) ? nb::handle(now) : nb::handle(Py_None)));
        if (!position_candidate.is_none()) update(book, position_candidate);
        position_book = std::move(book);
        position_candidate = nb::none();
        PyDict_Clear(live_trade_buffer.ptr());
        position_ready = true;
        recompute_frozen(now, nb::none());
        published_position_time = now;
    } else if (equals_text(kind, names.account)) {
        complete_account(rows, now);
        call_method(query_recovery, names.success);
    }

    if (phase_code == Phase::Sync) {
        phase_time = monotonic();
        ++sync_index;
        if (sync_index == PyTuple_GET_SIZE(g.SYNC_STEPS)) {
            set_phase(names.ready);
            guard_ready();
            set_status(names.READY);
            call_method(recovery, names.success);
        }
    }
    touch();
}

nb::dict Trading::positions_of(nb::handle rows, nb::handle updated) {
    nb::dict result;
    for (nb::handle row : rows) {
        if (!equal(get_or(row, names.HedgeFlag, Py_None), names.one_text)) continue;
        nb::object row_day = get_not_none(row, names.TradingDay);
        if (row_day.is_valid() && truthy(row_day) && !equal(row_day, day))
            errors::throw_error(out_of_sync(), "持仓查询期间交易日发生变化");
        nb::object symbol = symbol_of(row);
        if (!dict_has(instruments, symbol) && truthy(get_or(row, names.Position, int_of(0))))
            errors::throw_error(g.ExError, nb::str("持仓查询包含 SDK 不支持的合约类别"));
        nb::object direction = get_or(row, names.PosiDirection, Py_None);
        PyObject *pos_key, *today_key, *his_key;
        if (equal(direction, names.two_text)) {
            pos_key = names.pos_long, today_key = names.pos_long_today, his_key = names.pos_long_his;
        } else if (equal(direction, names.three_text)) {
            pos_key = names.pos_short, today_key = names.pos_short_today, his_key = names.pos_short_his;
        } else {
            errors::throw_error(g.ExError, nb::str("持仓查询包含不支持的净持仓方向"));
        }
        nb::object record = nb::borrow(dict_find(result, symbol));
        if (!record.is_valid()) {
            record = nb::handle(g.empty_position)(symbol, updated);
            dict_store(result, symbol, record);
        }
        nb::object total = item(row, names.Position), today = item(row, names.TodayPosition);
        nb::object exchange = item(row, names.ExchangeID);
        if (equal(exchange, names.SHFE) || equal(exchange, names.INE))
            today = equal(item(row, names.PositionDate), names.one_text) ? total : int_of(0);
        nb::object history = sub(total, today);
        if (less(min_of(min_of(total, today), history), int_of(0)))
            errors::throw_error(g.ExError, nb::str("柜台持仓快照中的今昨仓数量无效"));
        store(record, pos_key, add(item(record, pos_key), total));
        store(record, today_key, add(item(record, today_key), today));
        store(record, his_key, add(item(record, his_key), history));
    }
    for (auto [symbol, record] : result) store(record, names.pos, sub(item(record, names.pos_long), item(record, names.pos_short)));
    return result;
}

void Trading::complete_account(nb::handle rows, nb::handle now) {
    ensure_identity();
    nb::object chosen;
    Py_ssize_t matches = 0;
    for (nb::handle row : rows) {
        if (!equal(get_or(row, names.CurrencyID, names.CNY), names.CNY)) continue;
        if (!equal(get_or(row, names.AccountID, Py_None), user_id_)) continue;
        ++matches;
        chosen = nb::borrow(row);
    }
    if (matches != 1) errors::throw_error(g.ExError, nb::str("完整资金查询中应恰好包含一个人民币账户"));
    nb::object row_day = get_not_none(chosen, names.TradingDay);
    if (row_day.is_valid() && truthy(row_day) && !equal(row_day, day))
        errors::throw_error(out_of_sync(), "资金查询期间交易日发生变化");
    nb::dict values;
    for (auto [attribute, field] : nb::borrow<nb::dict>(g.ACCOUNT_FIELDS))
        dict_store(values, attribute, finite(get_or(chosen, field.ptr(), Py_None)));
    update(account_values, values);
    dict_store(account_values, names.updated_at, now);
    last_account_refresh = monotonic();
}

}  // namespace torvo::trading
