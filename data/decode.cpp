// Market-data message decoding: `decode` checks a whole message (symbol,
// time, trading day, numeric fields and, for quotes, the order book) and
// only then builds its result dictionary, so a bad message never yields a
// partial result.  BAR_FIELDS and QUOTE_FIELDS publish the wire-key tables.
#include "common/args.h"
#include "common/errors.h"
#include "data.h"

namespace torvo::data {
namespace {

constexpr int kBarFields = 7;
constexpr int kQuoteFields = 11;
constexpr int kMaxFields = kQuoteFields;
constexpr int kMaxLevels = 5;

struct Field {
    const char *wire;
    const char *name;
};

// Result order equals table order; the bar table gives the K-line columns.
constexpr Field kBarTable[kBarFields] = {
    {"o", "open"},   {"h", "high"},     {"l", "low"},           {"c", "close"},
    {"v", "volume"}, {"m", "turnover"}, {"oi", "open_interest"},
};

constexpr Field kQuoteTable[kQuoteFields] = {
    {"o", "open"},
    {"h", "highest"},
    {"l", "lowest"},
    {"c", "last_price"},
    {"v", "volume"},
    {"m", "turnover"},
    {"oi", "open_interest"},
    {"ps", "pre_settlement"},
    {"pc", "pre_close"},
    {"up", "upper_limit"},
    {"dn", "lower_limit"},
};

struct Table {
    int size = 0;
    Interned wire[kMaxFields];
    Interned name[kMaxFields];
    Ref blank;  // the result's keys in order, every value None; copied per call
};

struct State {
    Table bar, quote;
    Interned symbol_key, time_key, day_key, bid_key, ask_key;
    Ref channel, time, missing, book, level, price;
};
// Never destroyed: releasing these after the interpreter has finalised
// would touch freed interpreter state.
State &g = *new State();

bool build_table(Table &table, const Field *fields, int size, bool quote) {
    table.size = size;
    Ref blank = Ref::steal(PyDict_New());
    if (!blank) return false;
    const Names &n = names();
    if (PyDict_SetItem(blank.get(), n.column[kTimestamp], Py_None) < 0 ||
        PyDict_SetItem(blank.get(), n.column[kTradingDay], Py_None) < 0)
        return false;
    for (int i = 0; i < size; ++i) {
        if (!table.wire[i].init(fields[i].wire) || !table.name[i].init(fields[i].name) ||
            PyDict_SetItem(blank.get(), table.name[i], Py_None) < 0)
            return false;
    }
    if (quote && (PyDict_SetItem(blank.get(), n.bids, Py_None) < 0 ||
                  PyDict_SetItem(blank.get(), n.asks, Py_None) < 0))
        return false;
    table.blank = std::move(blank);
    return true;
}

// The public table: wire key -> field name, in order.
Ref public_table(const Table &table) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return dict;
    for (int i = 0; i < table.size; ++i)
        if (PyDict_SetItem(dict.get(), table.wire[i], table.name[i]) < 0) return Ref();
    return dict;
}

// A new reference to data[key], or null: `missing` tells a clean miss from
// an error raised while looking the key up.
Ref lookup(PyObject *data, PyObject *key, bool &missing) {
    PyObject *value = PyDict_GetItemWithError(data, key);
    missing = value == nullptr && !PyErr_Occurred();
    return Ref::borrow(value);
}

bool valid_time(PyObject *t) {
    if (t == nullptr || !PyLong_CheckExact(t)) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(t, &overflow);
    return overflow == 0 && value >= 0;
}

bool valid_day(PyObject *d) {
    if (d == nullptr || !PyUnicode_Check(d)) return false;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(d) < 0) {
        PyErr_Clear();
        return false;
    }
#endif
    if (!PyUnicode_IS_ASCII(d) || PyUnicode_GET_LENGTH(d) != 8) return false;
    const auto *text = static_cast<const unsigned char *>(PyUnicode_DATA(d));
    for (int i = 0; i < 8; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

bool positive_int(PyObject *value) {
    if (!PyLong_CheckExact(value)) return false;
    int overflow = 0;
    const long long q = PyLong_AsLongLongAndOverflow(value, &overflow);
    return overflow > 0 || (overflow == 0 && q > 0);
}

// One side of the book, checked and converted but not yet built.
struct Side {
    Py_ssize_t size = 0;
    Ref price[kMaxLevels];
    Ref quantity[kMaxLevels];
};

// Null with ExError set on a bad side.
bool read_side(PyObject *data, PyObject *key, Side &side) {
    bool missing = false;
    Ref levels = lookup(data, key, missing);
    if (!levels && !missing) return false;
    if (!levels || !PyList_Check(levels.get()) || PyList_GET_SIZE(levels.get()) > kMaxLevels) {
        return errors::set_error(ex_error_type(), g.book.get());
    }
    // Hold every level first: converting a price may run arbitrary code.
    Ref level[kMaxLevels];
    side.size = PyList_GET_SIZE(levels.get());
    for (Py_ssize_t i = 0; i < side.size; ++i)
        level[i] = Ref::borrow(PyList_GET_ITEM(levels.get(), i));
    for (Py_ssize_t i = 0; i < side.size; ++i) {
        PyObject *item = level[i].get();
        if (!PyList_Check(item) || PyList_GET_SIZE(item) != 2) {
            return errors::set_error(ex_error_type(), g.level.get());
        }
        Ref raw_price = Ref::borrow(PyList_GET_ITEM(item, 0));
        Ref quantity = Ref::borrow(PyList_GET_ITEM(item, 1));
        if (!positive_int(quantity.get())) {
            return errors::set_error(ex_error_type(), g.level.get());
        }
        side.price[i] = Ref::steal(to_number(raw_price.get()));
        if (!side.price[i]) return false;
        if (raw_price.get() == Py_None) {
            return errors::set_error(ex_error_type(), g.price.get());
        }
        side.quantity[i] = std::move(quantity);
    }
    return true;
}

Ref build_side(const Side &side) {
    Ref list = Ref::steal(PyList_New(side.size));
    if (!list) return list;
    for (Py_ssize_t i = 0; i < side.size; ++i) {
        PyObject *level = PyTuple_Pack(2, side.price[i].get(), side.quantity[i].get());
        if (level == nullptr) return Ref();
        PyList_SET_ITEM(list.get(), i, level);
    }
    return list;
}

constinit args::Signature kDecode{"decode", {"data", "symbol", "quote"}, 2, 2};

PyObject *decode(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *arg[3];
    if (!args::bind(kDecode, args, nargs, kwnames, arg)) return nullptr;
    PyObject *data = arg[0];
    bool missing = false;

    // The channel: the message must be a dictionary for the subscribed symbol.
    if (!PyDict_Check(data)) return errors::set_error(ex_error_type(), g.channel.get());
    Ref symbol = lookup(data, g.symbol_key, missing);
    if (!symbol && !missing) return nullptr;
    Ref unequal = Ref::steal(
        PyObject_RichCompare(symbol ? symbol.get() : Py_None, arg[1], Py_NE));
    if (!unequal) return nullptr;
    const int mismatch = PyObject_IsTrue(unequal.get());
    if (mismatch < 0) return nullptr;
    if (mismatch) return errors::set_error(ex_error_type(), g.channel.get());

    // Time stamp and trading day.
    Ref t = lookup(data, g.time_key, missing);
    if (!t && !missing) return nullptr;
    Ref d = lookup(data, g.day_key, missing);
    if (!d && !missing) return nullptr;
    if (!valid_time(t.get()) || !valid_day(d.get())) return errors::set_error(ex_error_type(), g.time.get());

    int quote = 0;
    if (arg[2] != nullptr) {
        quote = PyObject_IsTrue(arg[2]);
        if (quote < 0) return nullptr;
    }
    const Table &table = quote ? g.quote : g.bar;

    // Every numeric field must be present before any is converted.
    Ref raw[kMaxFields];
    for (int i = 0; i < table.size; ++i) {
        raw[i] = lookup(data, table.wire[i], missing);
        if (!raw[i]) {
            if (missing) return errors::set_error(ex_error_type(), g.missing.get());
            return nullptr;
        }
    }
    Ref value[kMaxFields];
    for (int i = 0; i < table.size; ++i) {
        value[i] = Ref::steal(to_number(raw[i].get()));
        if (!value[i]) return nullptr;
    }

    Side bids, asks;
    if (quote && (!read_side(data, g.bid_key, bids) || !read_side(data, g.ask_key, asks)))
        return nullptr;

    // Everything is valid: build the result.
    const Names &n = names();
    Ref result = Ref::steal(PyDict_Copy(table.blank.get()));
    if (!result) return nullptr;
    PyObject *out = result.get();
    if (PyDict_SetItem(out, n.column[kTimestamp], t.get()) < 0 ||
        PyDict_SetItem(out, n.column[kTradingDay], d.get()) < 0)
        return nullptr;
    for (int i = 0; i < table.size; ++i)
        if (PyDict_SetItem(out, table.name[i], value[i].get()) < 0) return nullptr;
    if (quote) {
        Ref bid_list = build_side(bids);
        if (!bid_list || PyDict_SetItem(out, n.bids, bid_list.get()) < 0) return nullptr;
        Ref ask_list = build_side(asks);
        if (!ask_list || PyDict_SetItem(out, n.asks, ask_list.get()) < 0) return nullptr;
    }
    return result.release();
}

PyMethodDef g_methods[] = {
    {"decode", args::fast(decode), METH_FASTCALL | METH_KEYWORDS,
     "decode(data, symbol, *, quote=False)\n--\n\n"
     "Validate a complete message before exposing any of its fields."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool init_decode(PyObject *module) {
    if (!g.symbol_key.init("s") || !g.time_key.init("t") || !g.day_key.init("d") ||
        !g.bid_key.init("b") || !g.ask_key.init("a") || !kDecode.intern())
        return false;
    if (!make_text(g.channel, "行情数据的合约与订阅频道不一致") ||
        !make_text(g.time, "行情时间戳或交易日无效") ||
        !make_text(g.missing, "行情消息缺少必要字段") || !make_text(g.book, "行情盘口格式无效") ||
        !make_text(g.level, "行情盘口档位无效") || !make_text(g.price, "行情盘口缺少价格"))
        return false;
    if (!build_table(g.bar, kBarTable, kBarFields, false) ||
        !build_table(g.quote, kQuoteTable, kQuoteFields, true))
        return false;
    Ref bar_fields = public_table(g.bar);
    Ref quote_fields = public_table(g.quote);
    if (!bar_fields || !quote_fields) return false;
    if (PyModule_AddObjectRef(module, "BAR_FIELDS", bar_fields.get()) < 0 ||
        PyModule_AddObjectRef(module, "QUOTE_FIELDS", quote_fields.get()) < 0)
        return false;
    return PyModule_AddFunctions(module, g_methods) == 0;
}

}  // namespace torvo::data
