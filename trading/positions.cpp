// The local position book: trades move it (today's and earlier parts), and
// working closing orders reserve part of it.
//
// The reservation scan visits only the children that can reserve: an index,
// per symbol, of the children that are not terminal and not opening, in the
// order they entered native_orders.  Their fields are read live at every
// scan, so a child edited in place counts as it stands.  The index keeps
// track of the native_orders dict it was built for and of its size; when
// either differs (the dict replaced, a child put in or taken out by other
// code), or an indexed child is no longer the one native_orders holds, it is
// rebuilt from a full scan first, so the answer is always the full scan's.
#include "session.h"

namespace torvo::trading {

namespace {

struct Side {
    Field pos, today, his, frozen, available;
    PyObject *closing;
};

const Side &side_of(nb::handle side) {
    static const Side long_side{position_key.pos_long,     position_key.pos_long_today, position_key.pos_long_his,
                                position_key.frozen_long,  position_key.available_long, names.SELL};
    static const Side short_side{position_key.pos_short,    position_key.pos_short_today, position_key.pos_short_his,
                                 position_key.frozen_short, position_key.available_short, names.BUY};
    if (equals_text(side, names.long_)) return long_side;
    if (equals_text(side, names.short_)) return short_side;
    // "pos_" + side names no key of a position record.
    errors::throw_error(PyExc_KeyError, message({"pos_", side}));
}

bool can_reserve(nb::handle child) {
    if (!PyDict_Check(child.ptr())) return true;  // not ours: let the live checks decide
    nb::object offset = get_not_none(child, names.offset), status = get_not_none(child, names.status);
    if (offset.is_valid() && equals_text(offset, names.OPEN)) return false;
    return !(status.is_valid() && terminal(status));
}

// reserving[symbol][order_id] = child, the symbol's bucket made if absent.
void add_reserving(nb::handle reserving, nb::handle symbol, nb::handle order_id, nb::handle child) {
    nb::object bucket = nb::borrow(dict_find(reserving, symbol));
    if (!bucket.is_valid()) {
        bucket = nb::dict();
        dict_store(reserving, symbol, bucket);
    }
    dict_store(bucket, order_id, child);
}

}  // namespace

// ---- the index of reserving children -----------------------------------

void Trading::index_add(nb::handle order_id, nb::handle child) {
    if (native_orders.ptr() != reserving_of_.ptr() || dict_size(native_orders) != reserving_size_ + 1) {
        reserving_size_ = -1;  // out of step: rebuilt at the next scan
        return;
    }
    ++reserving_size_;
    if (can_reserve(child)) add_reserving(reserving_, item(child, child_key.symbol), order_id, child);
}

void Trading::index_drop(nb::handle order_id, nb::handle child) {
    guard_working_drop(order_id, child);
    nb::object bucket = nb::borrow(dict_find(reserving_, get_or(child, child_key.symbol, Py_None)));
    if (bucket.is_valid()) dict_discard(bucket, order_id);
}

void Trading::index_remove(nb::handle order_id, nb::handle child) {
    const bool in_step = native_orders.ptr() == reserving_of_.ptr() && dict_size(native_orders) == reserving_size_;
    if (!dict_discard(native_orders, order_id)) return;
    if (!in_step) {
        reserving_size_ = -1;
        return;
    }
    --reserving_size_;
    index_drop(order_id, child);
}

// The reserving children of `symbol` (a dict order id -> child), or null.
static PyObject *reserving_children(Trading &t, nb::handle symbol) {
    // Whether the index is in step with native_orders, as far as `symbol`'s
    // children go; `bucket` is then theirs.
    PyObject *bucket = nullptr;
    auto current = [&] {
        if (t.native_orders.ptr() != t.reserving_of_.ptr() || dict_size(t.native_orders) != t.reserving_size_)
            return false;
        bucket = dict_find(t.reserving_, symbol);
        if (bucket == nullptr) return true;
        Py_ssize_t pos = 0;
        PyObject *oid, *child;
        while (PyDict_Next(bucket, &pos, &oid, &child))
            if (dict_find(t.native_orders, oid) != child) return false;
        return true;
    };
    if (current()) return bucket;

    t.reserving_ = nb::dict();
    nb::dict all = t.native_orders;  // held, with each entry: the checks may run code that edits the books
    Py_ssize_t at = 0;
    PyObject *raw_oid, *raw_child;
    while (PyDict_Next(all.ptr(), &at, &raw_oid, &raw_child)) {
        nb::object oid = nb::borrow(raw_oid), child = nb::borrow(raw_child);
        if (can_reserve(child)) add_reserving(t.reserving_, get_or(child, child_key.symbol, Py_None), oid, child);
    }
    t.reserving_of_ = all;
    t.reserving_size_ = dict_size(all);
    return dict_find(t.reserving_, symbol);
}

// ---- the position book -------------------------------------------------

void Trading::apply_position_trade(nb::handle row, nb::handle given) {
    nb::object symbol = given.is_valid() ? nb::borrow(given) : symbol_of(row);
    nb::object pos = nb::borrow(dict_find(position_book, symbol));
    if (!pos.is_valid() || pos.is_none()) {
        pos = nb::handle(g.empty_position)(symbol, now_ms());
        dict_store(position_book, symbol, pos);
    }
    nb::object volume = item(row, names.Volume);
    nb::object flag = item(row, names.OffsetFlag);
    const bool buy = equal(item(row, names.Direction), names.zero_text);
    if (equal(flag, names.zero_text)) {
        const Side &s = side_of(buy ? names.long_ : names.short_);
        store(pos, s.pos, add(item(pos, s.pos), volume));
        store(pos, s.today, add(item(pos, s.today), volume));
    } else {
        const Side &s = side_of(buy ? names.short_ : names.long_);
        if (less(item(pos, s.pos), volume)) errors::throw_error(books_broken(), "平仓成交数量超过本地持仓");
        // Plain closes take earlier lots first, then today's.
        std::pair<Field, nb::object> plan[2];
        int steps = 0;
        if (equal(flag, names.three_text)) {
            plan[steps++] = {s.today, volume};
        } else if (equal(flag, names.four_text)) {
            plan[steps++] = {s.his, volume};
        } else {
            nb::object h = min_of(item(pos, s.his), volume);
            plan[steps++] = {s.his, h};
            plan[steps++] = {s.today, sub(volume, h)};
        }
        for (int i = 0; i < steps; ++i) {
            auto &[bucket, amount] = plan[i];
            nb::object held = item(pos, bucket);
            if (less(held, amount)) errors::throw_error(books_broken(), "平仓成交数量超过本地对应今昨仓");
            store(pos, bucket, sub(held, amount));
        }
        store(pos, s.pos, sub(item(pos, s.pos), volume));
    }
    store(pos, position_key.pos, sub(item(pos, position_key.pos_long), item(pos, position_key.pos_short)));
    store(pos, position_key.updated_at, int_of(now_ms()));
}

std::pair<nb::object, nb::object> Trading::free_parts(nb::handle symbol, nb::handle side) {
    nb::object zero = int_of(0);
    nb::object pos = nb::borrow(dict_find(position_book, symbol));
    if (!pos.is_valid() || pos.is_none() || !truthy(pos)) return {zero, zero};
    const Side &s = side_of(side);
    if (item(pos, s.pos).is_none()) return {zero, zero};
    nb::object his = item(pos, s.his), today = item(pos, s.today);

    // Held, as each child is: the comparisons below may run code that edits the books.
    nb::object children = nb::borrow(reserving_children(*this, symbol));
    Py_ssize_t at = 0;
    PyObject *oid, *raw;
    while (children.is_valid() && PyDict_Next(children.ptr(), &at, &oid, &raw)) {
        nb::object child = nb::borrow(raw);
        if (!equal(get_or(child, child_key.symbol, Py_None), symbol)) continue;
        if (!equal(get_or(child, child_key.direction, Py_None), s.closing)) continue;
        if (equal(get_or(child, child_key.offset, Py_None), names.OPEN)) continue;
        nb::object status = get_or(child, child_key.status, Py_None);
        if (terminal(status)) continue;
        nb::object left = item(child, child_key.volume_left);
        nb::object close_type = get_or(child, child_key.close_type, Py_None);
        if (equal(close_type, names.TODAY)) {
            today = sub(today, left);
        } else if (equal(close_type, names.HISTORY)) {
            his = sub(his, left);
        } else {
            // Unspecified: earlier lots first, the rest from today's.
            nb::object used = min_of(left, max_of(his, zero));
            his = sub(his, used);
            today = sub(today, sub(left, used));
        }
    }
    if (less(min_of(today, his), zero)) errors::throw_error(books_broken(), "有效平仓委托冻结量超过本地持仓");
    return {std::move(his), std::move(today)};
}

namespace {

// The frozen and available quantities of one position record; whether any
// of the four changed.
bool refreeze(Trading &t, nb::handle symbol, nb::handle record) {
    bool changed = false;
    for (PyObject *side : {names.long_, names.short_}) {
        auto [his, today] = t.free_parts(symbol, side);
        nb::object free = add(his, today);
        const Side &s = side_of(side);
        changed |= assign(record, s.available, free);
        changed |= assign(record, s.frozen, sub(item(record, s.pos), free));
    }
    return changed;
}

}  // namespace

void Trading::recompute_frozen(nb::handle updated, nb::handle symbol) {
    // `updated`, or now; the clock is read only once a record has changed.
    nb::object stamp;
    auto when = [&]() -> nb::handle {
        if (!stamp.is_valid()) stamp = updated.is_valid() && truthy(updated) ? nb::borrow(updated) : int_of(now_ms());
        return stamp;
    };
    if (!symbol.is_none()) {
        nb::object record = nb::borrow(dict_find(position_book, symbol));
        if (record.is_valid() && !item(record, position_key.pos_long).is_none() && refreeze(*this, symbol, record))
            store(record, position_key.updated_at, when());
        return;
    }
    nb::object records = check(PyDict_Items(position_book.ptr()));
    for (nb::handle pair : records) {
        nb::handle key = PyTuple_GET_ITEM(pair.ptr(), 0), record = PyTuple_GET_ITEM(pair.ptr(), 1);
        if (!item(record, position_key.pos_long).is_none() && refreeze(*this, key, record))
            store(record, position_key.updated_at, when());
    }
}

}  // namespace torvo::trading
