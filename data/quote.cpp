// Quote: the read-only quote snapshot.  The class itself is made by the
// standard dataclass machinery (generated initialiser and repr, identity
// equality), over a small native base whose attribute assignment refuses to
// overwrite a field the instance already holds.  The base keeps the instance
// dictionary at a fixed offset, so that test is one dictionary look-up.
#include "common/errors.h"
#include "data.h"

#include <cstddef>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace torvo::data {
namespace {

struct Snapshot {
    PyObject_HEAD
    PyObject *dict;
};

struct State {
    PyObject *quote = nullptr;  // the Quote class
    Ref fields;                 // frozenset of its field names
    Interned dataclass_fields;  // "__dataclass_fields__"
    Ref readonly;               // the refusal message
};
State &g = *new State();  // never destroyed, see data.h

// 1 when `name` is a dataclass field of the instance's class, 0 when not,
// -1 on error.  A subclass may be a dataclass with fields of its own.
int is_field(PyObject *self, PyObject *name) {
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(self));
    if (type == g.quote) return PySet_Contains(g.fields.get(), name);
    Ref fields = Ref::steal(PyObject_GetAttr(type, g.dataclass_fields));
    if (!fields) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return PySequence_Contains(fields.get(), name);
}

int snapshot_setattro(PyObject *self, PyObject *name, PyObject *value) {
    PyObject *dict = reinterpret_cast<Snapshot *>(self)->dict;
    if (value != nullptr && dict != nullptr) {
        const int field = is_field(self, name);
        if (field < 0) return -1;
        if (field) {
            const int held = PyDict_Contains(dict, name);
            if (held < 0) return -1;
            if (held) {
                (void)errors::set_error(PyExc_AttributeError, g.readonly.get());
                return -1;
            }
        }
    }
    return PyObject_GenericSetAttr(self, name, value);
}

int snapshot_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Snapshot *>(self)->dict);
    return 0;
}

int snapshot_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<Snapshot *>(self)->dict);
    return 0;
}

void snapshot_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    snapshot_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef g_members[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Snapshot, dict), Py_READONLY, nullptr},
#else
    {"__dictoffset__", T_PYSSIZET, offsetof(Snapshot, dict), READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char *>("行情快照的基类：字段一经赋值即为只读。")},
    {Py_tp_setattro, reinterpret_cast<void *>(snapshot_setattro)},
    {Py_tp_traverse, reinterpret_cast<void *>(snapshot_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(snapshot_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(snapshot_dealloc)},
    {Py_tp_free, reinterpret_cast<void *>(PyObject_GC_Del)},
    {Py_tp_members, g_members},
    {Py_tp_getset, g_getset},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "torvo.data._Snapshot",
    sizeof(Snapshot),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    g_slots,
};

const char kQuoteDoc[] =
    "合约行情快照；通过观察句柄的 data() 获取，不随后续更新改变。\n"
    "\n"
    "    Attributes:\n"
    "        symbol: 合约代码，如 SHFE.rb2610 或 DCE.a2611-C-3700。\n"
    "        trading_day: 交易日，格式 YYYYMMDD。\n"
    "        timestamp: 行情时间，Unix 毫秒。\n"
    "        open: 开盘价。\n"
    "        highest: 最高价。\n"
    "        lowest: 最低价。\n"
    "        last_price: 最新价。\n"
    "        pre_settlement: 昨结算价。\n"
    "        pre_close: 昨收盘价。\n"
    "        upper_limit: 涨停价。\n"
    "        lower_limit: 跌停价。\n"
    "        volume: 成交量。\n"
    "        turnover: 成交额。\n"
    "        open_interest: 持仓量。\n"
    "        bids: 买盘档位，每档为（价格，数量）。\n"
    "        asks: 卖盘档位，每档为（价格，数量）。\n"
    "    ";

// Fields after `symbol` whose default is NaN, in declaration order.
const char *const kPriceFields[] = {
    "open",      "highest",     "lowest", "last_price", "pre_settlement", "pre_close",
    "upper_limit", "lower_limit", "volume", "turnover",   "open_interest",
};

// The class body: annotations in declaration order plus the defaults.
Ref class_namespace(PyObject *field_factory) {
    Ref ns = Ref::steal(PyDict_New());
    Ref annotations = Ref::steal(PyDict_New());
    Ref nan = Ref::borrow(missing_value());
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref module = Ref::steal(PyUnicode_FromString("torvo.data"));
    Ref qualname = Ref::steal(PyUnicode_FromString("Quote"));
    Ref doc = Ref::steal(PyUnicode_FromString(kQuoteDoc));
    Ref level_args = Ref::steal(PyTuple_Pack(2, reinterpret_cast<PyObject *>(&PyFloat_Type),
                                             reinterpret_cast<PyObject *>(&PyLong_Type)));
    if (!ns || !annotations || !nan || !empty || !zero || !module || !qualname || !doc ||
        !level_args)
        return Ref();
    Ref level = Ref::steal(
        Py_GenericAlias(reinterpret_cast<PyObject *>(&PyTuple_Type), level_args.get()));
    if (!level) return Ref();
    Ref book = Ref::steal(Py_GenericAlias(reinterpret_cast<PyObject *>(&PyList_Type), level.get()));
    if (!book) return Ref();

    PyObject *str_type = reinterpret_cast<PyObject *>(&PyUnicode_Type);
    PyObject *int_type = reinterpret_cast<PyObject *>(&PyLong_Type);
    PyObject *float_type = reinterpret_cast<PyObject *>(&PyFloat_Type);
    auto field = [&](const char *name, PyObject *type, PyObject *fallback) {
        if (PyDict_SetItemString(annotations.get(), name, type) < 0) return false;
        return fallback == nullptr || PyDict_SetItemString(ns.get(), name, fallback) == 0;
    };
    if (!field("symbol", str_type, nullptr) || !field("trading_day", str_type, empty.get()) ||
        !field("timestamp", int_type, zero.get()))
        return Ref();
    for (const char *name : kPriceFields)
        if (!field(name, float_type, nan.get())) return Ref();

    // Each instance gets its own empty lists.
    Ref factory_kwargs = Ref::steal(PyDict_New());
    if (!factory_kwargs ||
        PyDict_SetItemString(factory_kwargs.get(), "default_factory",
                             reinterpret_cast<PyObject *>(&PyList_Type)) < 0)
        return Ref();
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return Ref();
    for (const char *name : {"bids", "asks"}) {
        Ref spec = Ref::steal(PyObject_Call(field_factory, no_args.get(), factory_kwargs.get()));
        if (!spec || !field(name, book.get(), spec.get())) return Ref();
    }

    if (PyDict_SetItemString(ns.get(), "__module__", module.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__annotations__", annotations.get()) < 0)
        return Ref();
    return ns;
}

}  // namespace

bool init_quote(PyObject *module) {
    if (!make_text(g.readonly, "行情快照字段为只读") ||
        !g.dataclass_fields.init("__dataclass_fields__"))
        return false;
    Ref dataclasses = Ref::steal(PyImport_ImportModule("dataclasses"));
    if (!dataclasses) return false;
    Ref dataclass = Ref::steal(PyObject_GetAttrString(dataclasses.get(), "dataclass"));
    Ref field_factory = Ref::steal(PyObject_GetAttrString(dataclasses.get(), "field"));
    if (!dataclass || !field_factory) return false;

    Ref base = Ref::steal(PyType_FromSpec(&g_spec));
    if (!base) return false;
    Ref ns = class_namespace(field_factory.get());
    if (!ns) return false;
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    Ref name = Ref::steal(PyUnicode_FromString("Quote"));
    if (!bases || !name) return false;
    Ref type_args = Ref::steal(PyTuple_Pack(3, name.get(), bases.get(), ns.get()));
    if (!type_args) return false;
    Ref plain = Ref::steal(
        PyObject_Call(reinterpret_cast<PyObject *>(&PyType_Type), type_args.get(), nullptr));
    if (!plain) return false;

    // dataclass(plain, eq=False): identity equality and hashing.
    Ref options = Ref::steal(PyDict_New());
    if (!options || PyDict_SetItemString(options.get(), "eq", Py_False) < 0) return false;
    Ref call_args = Ref::steal(PyTuple_Pack(1, plain.get()));
    if (!call_args) return false;
    Ref quote = Ref::steal(PyObject_Call(dataclass.get(), call_args.get(), options.get()));
    if (!quote) return false;

    PyObject *annotations = PyDict_GetItemString(ns.get(), "__annotations__");  // borrowed
    g.fields = Ref::steal(PyFrozenSet_New(annotations));
    if (!g.fields) return false;
    g.quote = Ref::borrow(quote.get()).release();  // kept for the life of the process
    return PyModule_AddObjectRef(module, "_Snapshot", base.get()) == 0 &&
           PyModule_AddObjectRef(module, "Quote", quote.get()) == 0;
}

}  // namespace torvo::data
