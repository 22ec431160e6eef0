// Serial: one K-line series of fixed length kept in a pandas DataFrame that
// users read directly.  The frame object is made once and only ever changed
// through pandas' public API: scalar cell writes for a revision of the
// newest bar, whole-column replacement for every other merge.  With pandas'
// copy-on-write, a column or copy of the frame that a user holds never sees
// these changes.
//
// `update` reads and checks everything it needs, and builds every new
// column, before it changes anything: a failed update leaves the series as
// it was.  Bars are user objects, so reading and comparing them runs user
// code; that code may reshape the frame (the update then refuses, as for
// any reshaped frame) but cannot re-enter `update` on the same series.
#include <nanobind/nanobind.h>

#include <cmath>
#include <vector>

#include "common/errors.h"
#include "data.h"

namespace nb = nanobind;

namespace torvo::data {
namespace {

// Every attribute lives in the instance dictionary; the native part only
// marks an update in progress.
struct Serial {
    bool updating = false;
};

struct State {
    // pandas and numpy entry points
    Ref data_frame, series, range_index, np_empty, float64, int64;
    Ref kw_index_copy;   // ("index", "copy")
    Ref kw_index_dtype;  // ("index", "dtype")
    Ref blank_day;       // "" for the trading day of an empty row
    Ref reshaped, reentered, bad_length, bad_bars;
    // attribute names
    Interned symbol, period, length, bars, initial_generation, initial_sequence, frame;
    Interned index, columns, is_unique, tolist, start, stop, step, equals, iat, attrs;
};
State &g = *new State();  // never destroyed, see data.h

enum class Kind { Integer, Text, Real };

Kind kind_of(int column) {
    if (column == kTimestamp) return Kind::Integer;
    if (column == kTradingDay) return Kind::Text;
    return Kind::Real;
}

PyObject *column_name(int column) { return names().column[column].get(); }

// bar[key] for a bar dictionary (or any mapping): a new reference, or null
// with KeyError (or the mapping's own error) set.
Ref item(PyObject *bar, PyObject *key) {
    if (PyDict_CheckExact(bar)) {
        PyObject *value = PyDict_GetItemWithError(bar, key);
        if (value == nullptr && !PyErr_Occurred()) (void)errors::set_error(PyExc_KeyError, key);
        return Ref::borrow(value);
    }
    return Ref::steal(PyObject_GetItem(bar, key));
}

class Buffer {
public:
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool acquire(PyObject *array) {
        if (PyObject_GetBuffer(array, &view_, PyBUF_WRITABLE) < 0) return false;
        held_ = true;
        return true;
    }
    void *data() const { return view_.buf; }
    Py_ssize_t bytes() const { return view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Fills a new numpy array of `length` 8-byte values with `blank` empty
// values followed by `values`.  Null without an exception when a value
// needs the general conversion instead.
template <typename T, typename Convert>
Ref filled_array(PyObject *dtype, Py_ssize_t length, Py_ssize_t blank, T empty,
                 const std::vector<Ref> &values, Convert convert, bool &failed) {
    Ref size = Ref::steal(PyLong_FromSsize_t(length));
    if (!size) return failed = true, Ref();
    PyObject *call[] = {size.get(), dtype};
    Ref array = Ref::steal(PyObject_Vectorcall(g.np_empty.get(), call, 2, nullptr));
    if (!array) return failed = true, Ref();
    Buffer buffer;
    if (!buffer.acquire(array.get())) return failed = true, Ref();
    if (buffer.bytes() != length * static_cast<Py_ssize_t>(sizeof(T))) {
        (void)errors::set_error(PyExc_RuntimeError, "unexpected numpy buffer layout");
        return failed = true, Ref();
    }
    T *out = static_cast<T *>(buffer.data());
    for (Py_ssize_t i = 0; i < blank; ++i) out[i] = empty;
    for (size_t j = 0; j < values.size(); ++j)
        if (!convert(values[j].get(), out[blank + static_cast<Py_ssize_t>(j)])) return Ref();
    return array;
}

bool exact_integer(PyObject *value, long long &out) {
    if (!PyLong_CheckExact(value)) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(value, &overflow);
    return overflow == 0;
}

bool exact_real(PyObject *value, double &out) {
    if (PyFloat_CheckExact(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (value == Py_None) {
        out = std::nan("");
        return true;
    }
    if (PyLong_CheckExact(value)) {
        out = PyLong_AsDouble(value);
        if (out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();  // pandas' own conversion reports it
            return false;
        }
        return true;
    }
    return false;
}

// pd.Series(data, index=index, <keyword>=option)
Ref make_series(PyObject *data, PyObject *index, PyObject *keywords, PyObject *option) {
    PyObject *call[] = {data, index, option};
    return Ref::steal(PyObject_Vectorcall(g.series.get(), call, 1, keywords));
}

// One whole column: `blank` empty rows, then `values`, with the column's
// dtype, on `index`.
Ref column_series(int column, Py_ssize_t length, Py_ssize_t blank,
                  const std::vector<Ref> &values, PyObject *index) {
    const Kind kind = kind_of(column);
    if (kind != Kind::Text) {
        bool failed = false;
        Ref array = kind == Kind::Integer
                        ? filled_array<long long>(g.int64.get(), length, blank, 0LL, values,
                                                  exact_integer, failed)
                        : filled_array<double>(g.float64.get(), length, blank, std::nan(""),
                                               values, exact_real, failed);
        if (failed) return Ref();
        if (array) return make_series(array.get(), index, g.kw_index_copy.get(), Py_False);
    }
    // Text, or values that need pandas' general conversion.
    Ref empty;
    PyObject *dtype = nullptr;
    switch (kind) {
        case Kind::Integer:
            empty = Ref::steal(PyLong_FromLong(0));
            dtype = g.int64.get();
            break;
        case Kind::Real:
            empty = Ref::steal(PyFloat_FromDouble(std::nan("")));
            dtype = g.float64.get();
            break;
        case Kind::Text:
            empty = Ref::borrow(g.blank_day.get());
            dtype = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
            break;
    }
    Ref list = Ref::steal(PyList_New(length));
    if (!list || !empty) return Ref();
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject *value = i < blank ? empty.get() : values[static_cast<size_t>(i - blank)].get();
        PyList_SET_ITEM(list.get(), i, Py_NewRef(value));
    }
    return make_series(list.get(), index, g.kw_index_dtype.get(), dtype);
}

bool fail_reshaped() { return errors::set_error(PyExc_RuntimeError, g.reshaped.get()); }

// True when `value` is an int equal to `expected`; -1 on error.
int int_equals(PyObject *value, Py_ssize_t expected) {
    if (!PyLong_Check(value)) return 0;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    return overflow == 0 && v == expected;
}

// The frame's index equals the range 0 .. length-1.
int range_index_ok(PyObject *index, Py_ssize_t length) {
    if (Py_TYPE(index) == reinterpret_cast<PyTypeObject *>(g.range_index.get())) {
        Ref start = Ref::steal(PyObject_GetAttr(index, g.start));
        Ref stop = start ? Ref::steal(PyObject_GetAttr(index, g.stop)) : Ref();
        Ref step = stop ? Ref::steal(PyObject_GetAttr(index, g.step)) : Ref();
        if (!step) return -1;
        int a = int_equals(start.get(), 0), b = int_equals(stop.get(), length),
            c = int_equals(step.get(), 1);
        if (a < 0 || b < 0 || c < 0) return -1;
        if (a && b && c) return 1;
    }
    // Anything else is compared by value, as Index.equals does.
    const Py_ssize_t size = PyObject_Size(index);
    if (size < 0) return -1;
    if (size != length) return 0;
    Ref size_obj = Ref::steal(PyLong_FromSsize_t(length));
    if (!size_obj) return -1;
    Ref expected = Ref::steal(PyObject_CallOneArg(g.range_index.get(), size_obj.get()));
    if (!expected) return -1;
    Ref same = Ref::steal(PyObject_CallMethodOneArg(index, g.equals, expected.get()));
    if (!same) return -1;
    return PyObject_IsTrue(same.get());
}

// The frame's axes as the guard accepted them, and where each bar column
// sits.  The positions stay valid exactly as long as the frame keeps these
// axis objects: pandas makes a new index or column index for every change
// of rows or columns, but keeps them when cells or whole columns are
// replaced.
struct Layout {
    Ref index, columns;
    Py_ssize_t position[kColumns];
};

// Fills `layout`; false with RuntimeError when the frame's rows, index or
// bar columns were changed from outside.
bool locate_columns(PyObject *frame, Py_ssize_t length, Layout &layout) {
    Ref index = Ref::steal(PyObject_GetAttr(frame, g.index));
    if (!index) return false;
    const int shaped = range_index_ok(index.get(), length);
    if (shaped < 0) return false;
    if (!shaped) return fail_reshaped();

    Ref columns = Ref::steal(PyObject_GetAttr(frame, g.columns));
    if (!columns) return false;
    Ref unique = Ref::steal(PyObject_GetAttr(columns.get(), g.is_unique));
    if (!unique) return false;
    const int is_unique = PyObject_IsTrue(unique.get());
    if (is_unique < 0) return false;
    if (!is_unique) return fail_reshaped();

    Ref labels = Ref::steal(PyObject_CallMethodNoArgs(columns.get(), g.tolist));
    if (!labels) return false;
    if (!PyList_Check(labels.get()))
        return errors::set_error(PyExc_TypeError, "columns.tolist() did not return a list");
    const Py_ssize_t count = PyList_GET_SIZE(labels.get());
    Py_ssize_t *position = layout.position;
    for (int k = 0; k < kColumns; ++k) {
        position[k] = -1;
        // Usually the bar columns come first, in order.
        for (Py_ssize_t probe = 0; probe < count; ++probe) {
            const Py_ssize_t at = (k + probe) % count;
            const int same =
                PyObject_RichCompareBool(PyList_GET_ITEM(labels.get(), at), column_name(k), Py_EQ);
            if (same < 0) return false;
            if (same) {
                position[k] = at;
                break;
            }
        }
        if (position[k] < 0) return fail_reshaped();
    }
    layout.index = std::move(index);
    layout.columns = std::move(columns);
    return true;
}

// 1 while the frame still has the axes of `layout`, 0 once user code has
// changed them, -1 on error.
int layout_intact(PyObject *frame, const Layout &layout) {
    Ref index = Ref::steal(PyObject_GetAttr(frame, g.index));
    if (!index) return -1;
    Ref columns = Ref::steal(PyObject_GetAttr(frame, g.columns));
    if (!columns) return -1;
    return index.get() == layout.index.get() && columns.get() == layout.columns.get();
}

// Fails with the reshaped-frame error unless the layout still holds.
bool check_layout(PyObject *frame, const Layout &layout) {
    const int intact = layout_intact(frame, layout);
    if (intact < 0) return false;
    return intact ? true : fail_reshaped();
}

PyObject *make_changed(const bool *changed) {
    Ref result = Ref::steal(PySet_New(nullptr));
    if (!result) return nullptr;
    for (int k = 0; k < kColumns; ++k)
        if (changed[k] && PySet_Add(result.get(), column_name(k)) < 0) return nullptr;
    return result.release();
}

// The cells of the last row, by the bar columns' positions.
bool read_row(PyObject *accessor, Ref *keys, Ref *values) {
    for (int k = 0; k < kColumns; ++k) {
        values[k] = Ref::steal(PyObject_GetItem(accessor, keys[k].get()));
        if (!values[k]) return false;
    }
    return true;
}

Py_ssize_t series_length(PyObject *self, Ref &length_obj) {
    length_obj = Ref::steal(PyObject_GetAttr(self, g.length));
    if (!length_obj) return -1;
    const Py_ssize_t length = PyNumber_AsSsize_t(length_obj.get(), PyExc_OverflowError);
    if (length == -1 && PyErr_Occurred()) return -1;
    if (length < 1) return fail_reshaped(), -1;
    return length;
}

// Revision of the newest bar: write only the cells that changed.
PyObject *patch_last_row(PyObject *frame, const Layout &layout, PyObject *accessor,
                         PyObject *bars, PyObject *latest, PyObject *bar, Ref *keys,
                         Ref *before) {
    Ref value[kColumns];
    bool changed[kColumns] = {};
    for (int k = 0; k < kColumns; ++k) {
        value[k] = item(bar, column_name(k));
        if (!value[k]) return nullptr;
        const int differ = differs(before[k].get(), value[k].get());
        if (differ < 0) return nullptr;
        changed[k] = differ != 0;
    }
    // pandas may run a value's own float conversion while writing it, so the
    // layout is checked before every write.
    for (int k = 0; k < kColumns; ++k) {
        if (!changed[k]) continue;
        if (check_layout(frame, layout) &&
            PyObject_SetItem(accessor, keys[k].get(), value[k].get()) == 0)
            continue;
        // Put back the cells already written, unless the frame was reshaped
        // meanwhile: its positions are no longer ours, and later updates
        // refuse it anyway.
        Ref failure = take_raised();
        if (layout_intact(frame, layout) > 0) {
            for (int j = 0; j < k; ++j)
                if (changed[j] && PyObject_SetItem(accessor, keys[j].get(), before[j].get()) < 0)
                    PyErr_Clear();
        }
        PyErr_Clear();
        set_raised(std::move(failure));
        return nullptr;
    }
    if (PyDict_SetItem(bars, latest, bar) < 0) return nullptr;
    return make_changed(changed);
}

PyObject *update(PyObject *self, PyObject *incoming) {
    Ref length_obj;
    const Py_ssize_t length = series_length(self, length_obj);
    if (length < 0) return nullptr;
    Ref frame = Ref::steal(PyObject_GetAttr(self, g.frame));
    if (!frame) return nullptr;
    Ref bars = Ref::steal(PyObject_GetAttr(self, g.bars));
    if (!bars) return nullptr;
    if (!PyDict_Check(bars.get())) return errors::set_error(PyExc_TypeError, g.bad_bars.get());

    Layout layout;
    if (!locate_columns(frame.get(), length, layout)) return nullptr;
    Ref accessor = Ref::steal(PyObject_GetAttr(frame.get(), g.iat));
    if (!accessor) return nullptr;
    Ref keys[kColumns];
    {
        Ref row = Ref::steal(PyLong_FromSsize_t(length - 1));
        if (!row) return nullptr;
        for (int k = 0; k < kColumns; ++k) {
            Ref col = Ref::steal(PyLong_FromSsize_t(layout.position[k]));
            if (!col) return nullptr;
            keys[k] = Ref::steal(PyTuple_Pack(2, row.get(), col.get()));
            if (!keys[k]) return nullptr;
        }
    }
    Ref before[kColumns];
    if (!read_row(accessor.get(), keys, before)) return nullptr;

    // Incoming bars by time stamp, later ones replacing earlier ones; every
    // bar must carry every column.
    Ref updates = Ref::steal(PyDict_New());
    Ref iterator = Ref::steal(PyObject_GetIter(incoming));
    if (!updates || !iterator) return nullptr;
    while (Ref bar = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref stamp = item(bar.get(), column_name(kTimestamp));
        if (!stamp) return nullptr;
        for (int k = kTradingDay; k < kColumns; ++k)
            if (!item(bar.get(), column_name(k))) return nullptr;
        if (PyDict_SetItem(updates.get(), stamp.get(), bar.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;

    PyObject *latest = before[kTimestamp].get();
    if (PyDict_GET_SIZE(updates.get()) == 1) {
        const int known = PyDict_Contains(bars.get(), latest);
        if (known < 0) return nullptr;
        PyObject *bar = known ? PyDict_GetItemWithError(updates.get(), latest) : nullptr;
        if (bar == nullptr && PyErr_Occurred()) return nullptr;
        if (bar != nullptr) {
            Ref hold = Ref::borrow(bar);
            return patch_last_row(frame.get(), layout, accessor.get(), bars.get(), latest, bar,
                                  keys, before);
        }
    }

    // Full merge: the newest `length` bars by time stamp, rebuilt as columns.
    Ref merged = Ref::steal(PyDict_Copy(bars.get()));
    if (!merged || PyDict_Update(merged.get(), updates.get()) < 0) return nullptr;
    Ref times = Ref::steal(PyDict_Keys(merged.get()));
    if (!times || PyList_Sort(times.get()) < 0) return nullptr;
    const Py_ssize_t total = PyList_GET_SIZE(times.get());
    const Py_ssize_t kept = total < length ? total : length;
    const Py_ssize_t blank = length - kept;
    Ref kept_bars = Ref::steal(PyDict_New());
    if (!kept_bars) return nullptr;
    std::vector<Ref> order;
    order.reserve(static_cast<size_t>(kept));
    for (Py_ssize_t i = total - kept; i < total; ++i) {
        PyObject *stamp = PyList_GET_ITEM(times.get(), i);
        PyObject *bar = PyDict_GetItemWithError(merged.get(), stamp);
        if (bar == nullptr) {
            if (!PyErr_Occurred()) return errors::set_error(PyExc_KeyError, stamp);
            return nullptr;
        }
        if (PyDict_SetItem(kept_bars.get(), stamp, bar) < 0) return nullptr;
        order.push_back(Ref::borrow(bar));
    }

    Ref index = Ref::steal(PyObject_GetAttr(frame.get(), g.index));
    if (!index) return nullptr;
    Ref column[kColumns];
    std::vector<Ref> values(static_cast<size_t>(kept));
    for (int k = 0; k < kColumns; ++k) {
        for (Py_ssize_t i = 0; i < kept; ++i) {
            values[static_cast<size_t>(i)] = item(order[static_cast<size_t>(i)].get(), column_name(k));
            if (!values[static_cast<size_t>(i)]) return nullptr;
        }
        column[k] = column_series(k, length, blank, values, index.get());
        if (!column[k]) return nullptr;
    }

    // Everything is ready: replace the columns and the kept bars.
    if (!check_layout(frame.get(), layout)) return nullptr;
    for (int k = 0; k < kColumns; ++k) {
        if (PyObject_SetItem(frame.get(), column_name(k), column[k].get()) < 0) return nullptr;
        column[k].reset();
    }
    if (PyObject_SetAttr(self, g.bars, kept_bars.get()) < 0) return nullptr;

    Ref after[kColumns];
    if (!read_row(accessor.get(), keys, after)) return nullptr;
    bool changed[kColumns];
    for (int k = 0; k < kColumns; ++k) {
        const int differ = differs(before[k].get(), after[k].get());
        if (differ < 0) return nullptr;
        changed[k] = differ != 0;
    }
    return make_changed(changed);
}

// A new, empty frame of `length` rows.
Ref empty_frame(Py_ssize_t length, PyObject *symbol, PyObject *period) {
    Ref columns = Ref::steal(PyDict_New());
    if (!columns) return columns;
    const std::vector<Ref> none;
    for (int k = 0; k < kColumns; ++k) {
        // No explicit index: each column gets pandas' default range index.
        Ref series = column_series(k, length, length, none, Py_None);
        if (!series || PyDict_SetItem(columns.get(), column_name(k), series.get()) < 0)
            return Ref();
    }
    Ref frame = Ref::steal(PyObject_CallOneArg(g.data_frame.get(), columns.get()));
    if (!frame) return frame;
    Ref attrs = Ref::steal(PyObject_GetAttr(frame.get(), g.attrs));
    if (!attrs || PyObject_SetItem(attrs.get(), g.symbol, symbol) < 0 ||
        PyObject_SetItem(attrs.get(), g.period, period) < 0)
        return Ref();
    return frame;
}

bool init(PyObject *self, PyObject *symbol, PyObject *period, PyObject *length_arg) {
    if (PyBool_Check(length_arg) || !PyIndex_Check(length_arg)) {
        Ref given = Ref::steal(PyType_GetName(Py_TYPE(length_arg)));
        if (!given) return false;
        return errors::set_error(PyExc_TypeError, "Serial() argument 'length' must be int, not %U",
                                 given.get());
    }
    Ref length_obj = Ref::steal(PyNumber_Index(length_arg));
    if (!length_obj) return false;
    const Py_ssize_t length = PyLong_AsSsize_t(length_obj.get());
    if (length == -1 && PyErr_Occurred()) return false;
    if (length < 1) return errors::set_error(PyExc_ValueError, g.bad_length.get());
    Ref frame = empty_frame(length, symbol, period);
    if (!frame) return false;
    Ref bars = Ref::steal(PyDict_New());
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!bars || !zero) return false;
    return PyObject_SetAttr(self, g.symbol, symbol) == 0 &&
           PyObject_SetAttr(self, g.period, period) == 0 &&
           PyObject_SetAttr(self, g.length, length_obj.get()) == 0 &&
           PyObject_SetAttr(self, g.bars, bars.get()) == 0 &&
           PyObject_SetAttr(self, g.initial_generation, zero.get()) == 0 &&
           PyObject_SetAttr(self, g.initial_sequence, zero.get()) == 0 &&
           PyObject_SetAttr(self, g.frame, frame.get()) == 0;
}

bool init_state() {
    const struct {
        Interned &slot;
        const char *text;
    } attributes[] = {
        {g.symbol, "symbol"},
        {g.period, "period"},
        {g.length, "length"},
        {g.bars, "bars"},
        {g.initial_generation, "initial_generation"},
        {g.initial_sequence, "initial_sequence"},
        {g.frame, "frame"},
        {g.index, "index"},
        {g.columns, "columns"},
        {g.is_unique, "is_unique"},
        {g.tolist, "tolist"},
        {g.start, "start"},
        {g.stop, "stop"},
        {g.step, "step"},
        {g.equals, "equals"},
        {g.iat, "iat"},
        {g.attrs, "attrs"},
    };
    for (const auto &a : attributes)
        if (!a.slot.init(a.text)) return false;
    if (!make_text(g.reshaped, "不能修改 SDK 内部 K 线的列、索引或行数") ||
        !make_text(g.reentered, "K 线序列正在更新，不能在更新过程中再次更新") ||
        !make_text(g.bad_length, "K 线序列长度必须为正整数") ||
        !make_text(g.bad_bars, "Serial.bars 必须是 dict") || !make_text(g.blank_day, ""))
        return false;
    g.kw_index_copy = Ref::steal(Py_BuildValue("(ss)", "index", "copy"));
    g.kw_index_dtype = Ref::steal(Py_BuildValue("(ss)", "index", "dtype"));
    if (!g.kw_index_copy || !g.kw_index_dtype) return false;

    Ref pandas = Ref::steal(PyImport_ImportModule("pandas"));
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!pandas || !numpy) return false;
    g.data_frame = Ref::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    g.series = Ref::steal(PyObject_GetAttrString(pandas.get(), "Series"));
    g.range_index = Ref::steal(PyObject_GetAttrString(pandas.get(), "RangeIndex"));
    g.np_empty = Ref::steal(PyObject_GetAttrString(numpy.get(), "empty"));
    Ref dtype = Ref::steal(PyObject_GetAttrString(numpy.get(), "dtype"));
    if (!g.data_frame || !g.series || !g.range_index || !g.np_empty || !dtype) return false;
    g.float64 = Ref::steal(PyObject_CallFunction(dtype.get(), "s", "float64"));
    g.int64 = Ref::steal(PyObject_CallFunction(dtype.get(), "s", "int64"));
    return g.float64 && g.int64;
}

const char kSerialDoc[] =
    "一条合约、一个周期的定长 K 线序列。\n\n"
    "frame 是一个 pandas DataFrame：恰好 length 行、默认的 0 起行索引，"
    "列为 BAR_COLUMNS；按 K 线时间升序排列，最新的一根总在最后一行，"
    "不足 length 根时前面是空行。frame 对象在序列的整个生命期内不会被替换。";

const char kUpdateDoc[] =
    "把一组 K 线（以 timestamp 为键的字典）合并进序列，返回最后一行中"
    "值发生变化的列名集合。只修订最新一根时只写入变化的单元格，"
    "否则保留时间最新的 length 根并整列重建。更新失败时序列保持不变。";

}  // namespace

void init_serial(nb::module_ &m) {
    if (!init_state()) throw nb::python_error();
    nb::class_<Serial>(m, "Serial", nb::dynamic_attr(), kSerialDoc)
        .def(
            "__init__",
            [](nb::pointer_and_handle<Serial> self, nb::handle symbol, nb::handle period,
               nb::handle length) {
                if (!init(self.h.ptr(), symbol.ptr(), period.ptr(), length.ptr()))
                    throw nb::python_error();
                new (self.p) Serial();
            },
            nb::arg("symbol"), nb::arg("period"), nb::arg("length"),
            nb::sig("def __init__(self, symbol: str, period: str, length: int) -> None"))
        .def(
            "update",
            [](nb::pointer_and_handle<Serial> self, nb::handle bars) {
                // User code run by an update (a bar's methods, or another
                // thread) must not start a second one on the same series.
                if (self.p->updating) errors::throw_error(PyExc_RuntimeError, g.reentered.get());
                self.p->updating = true;
                struct Running {
                    bool &flag;
                    ~Running() { flag = false; }
                } running{self.p->updating};
                PyObject *changed = update(self.h.ptr(), bars.ptr());
                if (changed == nullptr) throw nb::python_error();
                return nb::steal<nb::set>(changed);
            },
            nb::arg("bars"),
            nb::sig("def update(self, bars: collections.abc.Iterable[collections.abc.Mapping"
                    "[str, typing.Any]]) -> set[str]"),
            kUpdateDoc)
        // Copies and pickles carry the instance dictionary, as for a plain
        // Python object.
        .def("__getstate__",
             [](nb::handle self) {
                 nb::object dict = self.attr("__dict__");
                 PyObject *state = PyDict_Copy(dict.ptr());
                 if (state == nullptr) throw nb::python_error();
                 return nb::steal<nb::dict>(state);
             })
        .def("__setstate__", [](nb::pointer_and_handle<Serial> self, nb::dict state) {
            nb::object dict = self.h.attr("__dict__");
            if (PyDict_Update(dict.ptr(), state.ptr()) < 0) throw nb::python_error();
            new (self.p) Serial();
        });
}

}  // namespace torvo::data
