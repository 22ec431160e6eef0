// Publishing: `commit` copies the private books into the user's read-only
// views (the account, the maps of positions and orders, the list of trades)
// and reports field by field what changed, by identity number of each
// published object; `position_view` hands out a position view on demand.
//
// A commit visits every record and every published field, so the visit works
// on the records' own dicts through the ledger's C API: the field names are
// interned, an identical object is passed over without a comparison, and no
// object is made per field.
#include <vector>

#include "common/change.h"
#include "session.h"

namespace torvo::trading {

namespace {

// The field names of a record type, as a dict name -> name (a set that
// hands out its own name objects) and as the tuple in declared order: the
// four published types are read once, any other type's `fields` at each call.
std::pair<nb::object, nb::object> fields_for(PyTypeObject *type) {
    for (auto &known : g.view_fields)
        if (known.type == type) return {nb::borrow(known.fields), nb::borrow(known.names)};
    nb::object declared = check(PySequence_Tuple(attr(reinterpret_cast<PyObject *>(type), names.fields).ptr()));
    return {keys_of(declared), declared};
}

// The set under changes[key], made empty if absent.  A value that is not a
// set (a frozenset, a list) is the caller's mistake: TypeError.
nb::object change_set(nb::handle changes, nb::handle key) {
    nb::object found;
    if (PyDict_CheckExact(changes.ptr())) {
        // One look-up: a record's entry is usually not there yet.
        nb::object fresh = check(PySet_New(nullptr));
        found = nb::borrow(check_borrowed(PyDict_SetDefault(changes.ptr(), key.ptr(), fresh.ptr())));
    } else {
        found = call_method(changes, names.setdefault, {key, check(PySet_New(nullptr))});
    }
    if (!PySet_Check(found.ptr())) errors::throw_error(PyExc_TypeError, "changes 的值必须是 set");
    return found;
}

// target |= {names in [first, last)}
void merge(nb::handle target, PyObject *const *first, PyObject *const *last) {
    if (first == last) return;
    if (PySet_CheckExact(target.ptr())) {
        for (; first != last; ++first) set_add(target, *first);
        return;
    }
    nb::object items = check(PyList_New(0));
    for (; first != last; ++first) check(PyList_Append(items.ptr(), *first));
    call_method(target, names.update, {items});
}
void merge(nb::handle target, const std::vector<PyObject *> &changed) {
    merge(target, changed.data(), changed.data() + changed.size());
}

// A map's changes: its entry is made with its first visited record, so a map
// with no records gets none.
struct MapChanges {
    nb::handle changes, view;
    nb::object totals;
    void add(const std::vector<PyObject *> &changed, bool created) {
        if (!totals.is_valid()) totals = change_set(changes, id_of(view));
        merge(totals, changed);
        if (created) set_add(totals, names.members);
    }
};

// Walks a dict alongside another one's iteration: `next(key)` is the value
// at the same position when the key there is the very same object, else empty
// (and from then on always empty).
class InStep {
public:
    explicit InStep(nb::handle d) : dict_(d) {}
    nb::object next(nb::handle key) {
        if (!dict_.is_valid()) return {};
        PyObject *k, *v;
        if (PyDict_Next(dict_.ptr(), &at_, &k, &v) && k == key.ptr()) return nb::borrow(v);
        dict_ = nb::handle();
        return {};
    }

private:
    nb::handle dict_;
    Py_ssize_t at_ = 0;
};

// Whether two dicts hold the very same key objects in the same order.
bool same_keys(nb::handle a, nb::handle b) {
    if (PyDict_GET_SIZE(a.ptr()) != PyDict_GET_SIZE(b.ptr())) return false;
    Py_ssize_t at_a = 0, at_b = 0;
    PyObject *ka, *va, *kb, *vb;
    while (PyDict_Next(a.ptr(), &at_a, &ka, &va))
        if (!PyDict_Next(b.ptr(), &at_b, &kb, &vb) || ka != kb) return false;
    return true;
}

}  // namespace

// The published fields of `values` copied into `record`; the names of those
// that changed are appended to `changed_names` and merged into
// changes[id(record)].
// The common case of `publish`, without a single hash look-up: `values` and
// the record's `_values` both hold exactly the type's fields, in its order
// (as the session's records and the views it creates do), and are walked in
// step with the names.  False, having written nothing and noted no change, as
// soon as they part.
static bool publish_aligned(nb::handle names_, nb::handle target, nb::handle values,
                            std::vector<PyObject *> &changed_names) {
    const Py_ssize_t n = PyTuple_GET_SIZE(names_.ptr());
    if (!PyDict_CheckExact(values.ptr()) || PyDict_GET_SIZE(values.ptr()) != n || PyDict_GET_SIZE(target.ptr()) != n)
        return false;
    const size_t start = changed_names.size();
    std::vector<std::pair<PyObject *, nb::object>> writes;  // name (kept by the type), new value
    Py_ssize_t at_target = 0, at_value = 0;
    PyObject *key, *old, *value_key, *value;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *name = PyTuple_GET_ITEM(names_.ptr(), i);
        if (!PyDict_Next(target.ptr(), &at_target, &key, &old) || !PyDict_Next(values.ptr(), &at_value, &value_key, &value) ||
            key != name || value_key != name) {
            changed_names.resize(start);
            return false;
        }
        if (old == value) continue;  // the same object: nothing to compare or copy
        nb::object held_old = nb::borrow(old), held_value = nb::borrow(value);
        int differ = differs(held_old.ptr(), held_value.ptr());
        if (differ < 0) throw nb::python_error();
        if (differ) changed_names.push_back(name);
        writes.emplace_back(name, std::move(held_value));
    }
    for (auto &[name, value_] : writes) check(PyDict_SetItem(target.ptr(), name, value_.ptr()));
    return true;
}

void Trading::publish(nb::handle record, nb::handle values, nb::handle changes, std::vector<PyObject *> &changed_names) {
    auto [fields, field_names] = fields_for(Py_TYPE(record.ptr()));
    nb::handle target = check_borrowed(g.ledger->values(record.ptr()));
    const size_t start = changed_names.size();
    if (publish_aligned(field_names, target, values, changed_names)) {
        nb::object own = change_set(changes, id_of(record));
        merge(own, changed_names.data() + start, changed_names.data() + changed_names.size());
        return;
    }
    // Every comparison first, then the writes, so a comparison that raises
    // leaves the record as it was.
    std::vector<std::pair<nb::object, nb::object>> writes;
    auto visit = [&](nb::handle key, nb::handle value) {
        PyObject *name = dict_find(fields, key);
        if (name == nullptr) return;  // private: never published
        PyObject *old = dict_find(target, key);
        if (old == value.ptr()) return;  // the same object: nothing to compare or copy
        nb::object held = nb::borrow(old != nullptr ? old : Py_None);
        int differ = differs(held.ptr(), value.ptr());
        if (differ < 0) throw nb::python_error();
        if (differ) changed_names.push_back(name);  // the type's own name object, which outlives this call
        writes.emplace_back(nb::borrow(key), nb::borrow(value));
    };
    if (PyDict_CheckExact(values.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(values.ptr(), &pos, &key, &value)) {
            // Held: the comparison may run code that edits `values`.
            nb::object k = nb::borrow(key), v = nb::borrow(value);
            visit(k, v);
        }
    } else {
        nb::object pairs = check(PySequence_List(call_method(values, names.items).ptr()));
        for (nb::handle pair : pairs)
            visit(check(PySequence_GetItem(pair.ptr(), 0)), check(PySequence_GetItem(pair.ptr(), 1)));
    }
    for (auto &[key, value] : writes) dict_store(target, key, value);
    nb::object own = change_set(changes, id_of(record));
    merge(own, changed_names.data() + start, changed_names.data() + changed_names.size());
}

nb::object Trading::update_view(nb::handle record, nb::handle values, nb::handle changes) {
    std::vector<PyObject *> changed_names;
    publish(record, values, changes, changed_names);
    nb::object out = check(PySet_New(nullptr));
    for (PyObject *name : changed_names) set_add(out, name);
    return out;
}

nb::object Trading::map_view(nb::handle view, nb::handle key, nb::handle values, nb::handle changes) {
    std::vector<PyObject *> changed_names;
    bool created = false;
    nb::object record = map_record(view, key, values, changes, changed_names, created);
    nb::object totals = change_set(changes, id_of(view));
    merge(totals, changed_names);
    if (created) set_add(totals, names.members);
    return record;
}

// The record under `key` of the map `view`, made blank and registered when
// absent, updated from `values`.
nb::object Trading::map_record(nb::handle view, nb::handle key, nb::handle values, nb::handle changes,
                               std::vector<PyObject *> &changed_names, bool &created) {
    nb::handle data = check_borrowed(g.ledger->data(view.ptr()));
    created = dict_find(data, key) == nullptr;
    if (created) {
        nb::object blank = nb::handle(check_borrowed(g.ledger->item_type(view.ptr())))();
        dict_store(data, key, blank);
        dict_store(objects, id_of(blank), blank);
    }
    nb::object record = check(PyObject_GetItem(view.ptr(), key.ptr()));
    publish(record, values, changes, changed_names);
    return record;
}

bool Trading::commit(nb::handle changes) {
    if (!dirty) return false;
    dirty = false;
    call_method(changed, names.clear);
    const bool status_changed = !equal(published_status, session_status);
    published_status = session_status;
    if (!equals_text(session_status, names.READY)) return status_changed;

    std::vector<PyObject *> changed_names;
    publish(account, account_values, changes, changed_names);

    // Orders no longer in the books leave the map and the registry.
    nb::handle order_data = check_borrowed(g.ledger->data(orders.ptr()));
    std::vector<nb::object> dropped;
    if (!same_keys(order_data, order_book))
        for (auto [key, record] : nb::borrow<nb::dict>(order_data))
            if (!dict_has(order_book, key)) dropped.push_back(nb::borrow(key));
    for (auto &key : dropped) {
        nb::object record = nb::borrow(dict_find(order_data, key));
        if (record.is_valid()) (void)dict_pop(objects, id_of(record));
        dict_discard(order_data, key);
    }
    if (!dropped.empty()) set_add(change_set(changes, id_of(orders)), names.members);

    // After a reset, trades the new snapshot no longer holds leave too.
    if (reset_pending) {
        nb::object gone = check(PySet_New(nullptr));
        std::vector<nb::object> gone_ids;
        for (auto [tid, view] : trade_views)
            if (!dict_has(trade_book, tid)) gone_ids.push_back(nb::borrow(tid));
        for (auto &tid : gone_ids) {
            nb::object view = dict_pop(trade_views, tid);
            if (view.is_valid()) set_add(gone, id_of(view));
        }
        if (!gone_ids.empty()) {
            nb::list kept;
            for (nb::handle view : trades)
                if (!set_has(gone, id_of(view))) kept.append(view);
            check(PyList_SetSlice(trades.ptr(), 0, PyList_GET_SIZE(trades.ptr()), kept.ptr()));
            for (nb::handle number : gone) (void)dict_pop(objects, number);
            set_add(change_set(changes, id_of(trades)), names.members);
        }
    }

    auto publish_map = [&](nb::handle view, nb::dict book) {
        MapChanges totals{changes, view, {}};
        // A plain LiveMap's records are its `_data`'s values; while its keys
        // run in step with the book's, each record is found without a look-up.
        InStep published(Py_TYPE(view.ptr()) == reinterpret_cast<PyTypeObject *>(g.LiveMap)
                             ? check_borrowed(g.ledger->data(view.ptr()))
                             : nb::handle());
        // The book's keys are not referenced while the walk runs in step:
        // each is compared by address with the map's, and touching its
        // refcount would cost a cache miss per record.
        Py_ssize_t at = 0;
        PyObject *key, *value;
        while (PyDict_Next(book.ptr(), &at, &key, &value)) {
            nb::object values = nb::borrow(value);
            changed_names.clear();
            bool created = false;
            if (nb::object record = published.next(key); record.is_valid())
                publish(record, values, changes, changed_names);
            else
                (void)map_record(view, nb::borrow(key), values, changes, changed_names, created);
            totals.add(changed_names, created);
        }
    };
    publish_map(positions, position_book);
    publish_map(orders, order_book);

    MapChanges trade_totals{changes, trades, {}};
    InStep views(trade_views);
    Py_ssize_t at = 0;
    PyObject *trade_key, *trade_values;
    while (PyDict_Next(trade_book.ptr(), &at, &trade_key, &trade_values)) {
        nb::object values = nb::borrow(trade_values);
        nb::object view = views.next(trade_key);
        nb::object tid = view.is_valid() ? nb::object() : nb::borrow(trade_key);
        if (!view.is_valid()) view = nb::borrow(dict_find(trade_views, tid));
        const bool created = !view.is_valid() || view.is_none();
        if (created) {
            view = nb::handle(g.Trade)();
            dict_store(trade_views, tid, view);
            check(PyList_Append(trades.ptr(), view.ptr()));
            dict_store(objects, id_of(view), view);
        }
        changed_names.clear();
        publish(view, values, changes, changed_names);
        if (created || !changed_names.empty()) trade_totals.add(changed_names, created);
    }
    reset_pending = false;
    return true;
}

nb::object Trading::position_view(nb::handle caller_symbol) {
    if (caller_symbol.is_none()) return positions;
    const nb::object symbol = exact_text(caller_symbol);
    module_attr(names.check_symbol)(symbol);
    if (dict_size(instruments) > 0 && !dict_has(instruments, symbol))
        errors::throw_error(PyExc_ValueError, "合约不存在或不是支持的期货或期权合约");
    nb::handle data = check_borrowed(g.ledger->data(positions.ptr()));
    if (dict_find(data, symbol) == nullptr) {
        nb::object values = nb::handle(g.empty_position)(symbol, published_position_time);
        nb::dict published;
        nb::object fields = fields_for(reinterpret_cast<PyTypeObject *>(g.Position)).first;
        for (auto [key, value] : nb::borrow<nb::dict>(values))
            if (dict_find(fields, key) != nullptr) dict_store(published, key, value);
        nb::object view = check(PyObject_Call(g.Position, nb::tuple().ptr(), published.ptr()));
        dict_store(data, symbol, view);
        dict_store(objects, id_of(view), view);
        if (!dict_has(position_book, symbol)) dict_store(position_book, symbol, values);
    }
    return check(PyObject_GetItem(positions.ptr(), symbol.ptr()));
}

}  // namespace torvo::trading
