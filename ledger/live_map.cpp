// LiveMap: a read-only mapping view over one dictionary, `_data`, whose
// values are records of one class, `item_type`.
//
// The type is registered as a collections.abc.Mapping.  Indexing, iteration,
// length and repr go straight to `_data`; membership, `get`, `keys`, `items`,
// `values` and equality give the results of the standard mapping mix-ins
// (the three views are the standard view classes over the map).
#include "ledger.h"

#include <nanobind/nanobind.h>

#include <cstddef>

#include "common/args.h"
#include "common/errors.h"
#include "common/intern.h"
#include "common/ref.h"

namespace nb = nanobind;

namespace torvo::ledger {
namespace {

PyTypeObject *g_type = nullptr;
PyObject *g_mapping_abc = nullptr;
PyObject *g_keys_view = nullptr;
PyObject *g_items_view = nullptr;
PyObject *g_values_view = nullptr;
Interned s_items;

inline LiveMapData *as_map(PyObject *self) { return reinterpret_cast<LiveMapData *>(self); }

// `_data`, or null with an exception for a map emptied by the collector.
PyObject *data_of(PyObject *self) {
    PyObject *data = as_map(self)->data;
    if (data == nullptr) return errors::set_error(PyExc_ValueError, "LiveMap has been cleared");
    return data;
}

PyObject *map_new(PyTypeObject *type, PyObject *, PyObject *) {
    Ref data = Ref::steal(PyDict_New());
    if (!data) return nullptr;
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_map(self)->data = data.release();
    as_map(self)->item_type = Py_NewRef(Py_None);
    return self;
}

int map_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static char kw_item_type[] = "item_type";
    static char *kwlist[] = {kw_item_type, nullptr};
    PyObject *item_type = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:LiveMap", kwlist, &item_type)) return -1;
    Py_XSETREF(as_map(self)->item_type, Py_NewRef(item_type));
    return 0;
}

Py_ssize_t map_length(PyObject *self) {
    PyObject *data = data_of(self);
    return data == nullptr ? -1 : PyDict_GET_SIZE(data);
}

PyObject *map_subscript(PyObject *self, PyObject *key) {
    PyObject *data = data_of(self);
    return data == nullptr ? nullptr : PyObject_GetItem(data, key);
}

int map_contains(PyObject *self, PyObject *key) {
    PyObject *data = data_of(self);
    return data == nullptr ? -1 : PyDict_Contains(data, key);
}

PyObject *map_iter(PyObject *self) {
    PyObject *data = data_of(self);
    return data == nullptr ? nullptr : PyObject_GetIter(data);
}

PyObject *map_repr(PyObject *self) {
    PyObject *data = data_of(self);
    return data == nullptr ? nullptr : PyObject_Repr(data);
}

// Mapping equality: any other Mapping compares as dict(other.items()); any
// other object is not comparable.
PyObject *map_richcompare(PyObject *self, PyObject *other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    PyObject *data = data_of(self);
    if (data == nullptr) return nullptr;
    Ref theirs;
    if (PyDict_CheckExact(other)) {
        theirs = Ref::borrow(other);
    } else if (PyObject_TypeCheck(other, g_type) && as_map(other)->data != nullptr) {
        theirs = Ref::borrow(as_map(other)->data);
    } else {
        int mapping = PyObject_IsInstance(other, g_mapping_abc);
        if (mapping < 0) return nullptr;
        if (mapping == 0) Py_RETURN_NOTIMPLEMENTED;
        Ref items = Ref::steal(PyObject_CallMethodNoArgs(other, s_items));
        if (!items) return nullptr;
        theirs = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type),
                                                items.get()));
        if (!theirs) return nullptr;
    }
    return PyObject_RichCompare(data, theirs.get(), op);
}

PyObject *map_view(PyObject *self, PyObject *view_type) {
    return PyObject_CallOneArg(view_type, self);
}
PyObject *map_keys(PyObject *self, PyObject *) { return map_view(self, g_keys_view); }
PyObject *map_items(PyObject *self, PyObject *) { return map_view(self, g_items_view); }
PyObject *map_values(PyObject *self, PyObject *) { return map_view(self, g_values_view); }

// get(key, default=None), by position or by keyword.
constinit args::Signature kGet{"get", {"key", "default"}, 2, 1, args::Wording::interpreter, 1};

PyObject *map_get(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *arg[2];
    if (!args::bind(kGet, args, nargs, kwnames, arg)) return nullptr;
    PyObject *key = arg[0];
    PyObject *fallback = arg[1] != nullptr ? arg[1] : Py_None;
    PyObject *data = data_of(self);
    if (data == nullptr) return nullptr;
    PyObject *value = PyDict_GetItemWithError(data, key);  // borrowed
    if (value != nullptr) return Py_NewRef(value);
    if (PyErr_Occurred()) return nullptr;
    return Py_NewRef(fallback);
}

PyObject *map_class_getitem(PyObject *cls, PyObject *params) {
    return Py_GenericAlias(cls, params);
}

int map_setattro(PyObject *, PyObject *, PyObject *) {
    (void)errors::set_error(PyExc_AttributeError, kReadOnly);
    return -1;
}

int map_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_map(self)->data);
    Py_VISIT(as_map(self)->item_type);
    return 0;
}

int map_clear(PyObject *self) {
    Py_CLEAR(as_map(self)->data);
    Py_CLEAR(as_map(self)->item_type);
    return 0;
}

// A chain of maps linked through `item_type` (no dictionary in between to
// break it up) is freed through the trashcan, so its length cannot overflow
// the stack.
void map_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, map_dealloc)
    map_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

PyMethodDef map_methods[] = {
    {"keys", map_keys, METH_NOARGS, "keys($self, /)\n--\n\n键的集合视图。"},
    {"items", map_items, METH_NOARGS, "items($self, /)\n--\n\n(键, 记录) 的集合视图。"},
    {"values", map_values, METH_NOARGS, "values($self, /)\n--\n\n记录的视图。"},
    {"get", args::fast(map_get), METH_FASTCALL | METH_KEYWORDS,
     "get($self, /, key, default=None)\n--\n\n键存在时返回记录，否则返回 default。"},
    {"__class_getitem__", map_class_getitem, METH_O | METH_CLASS,
     "__class_getitem__($type, item, /)\n--\n\n参数化的类型别名。"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef map_members[] = {
    {"_data", kMemberObject, offsetof(LiveMapData, data), kMemberReadOnly,
     "键到记录的字典，由交易会话原地更新。"},
    {"item_type", kMemberObject, offsetof(LiveMapData, item_type), kMemberReadOnly,
     "值的记录类型；交易会话无参调用它为新键创建空白记录。"},
    {nullptr, 0, 0, 0, nullptr},
};

const char map_doc[] =
    "LiveMap(item_type)\n--\n\n"
    "只读映射视图：按键读取 _data 字典中的记录，随交易会话的提交原地更新；"
    "不支持赋值或删除。";

PyType_Slot map_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(map_new)},
    {Py_tp_init, reinterpret_cast<void *>(map_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(map_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(map_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(map_clear)},
    {Py_tp_setattro, reinterpret_cast<void *>(map_setattro)},
    {Py_tp_repr, reinterpret_cast<void *>(map_repr)},
    {Py_tp_iter, reinterpret_cast<void *>(map_iter)},
    {Py_tp_richcompare, reinterpret_cast<void *>(map_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {Py_mp_length, reinterpret_cast<void *>(map_length)},
    {Py_mp_subscript, reinterpret_cast<void *>(map_subscript)},
    {Py_sq_contains, reinterpret_cast<void *>(map_contains)},
    {Py_tp_methods, map_methods},
    {Py_tp_members, map_members},
    {Py_tp_doc, const_cast<char *>(map_doc)},
    {0, nullptr},
};

PyType_Spec map_spec = {
    "torvo.ledger.LiveMap",
    static_cast<int>(sizeof(LiveMapData)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MAPPING,
    map_slots,
};

}  // namespace

PyTypeObject *live_map_type() {
    if (g_type != nullptr) return g_type;
    if (!s_items.init("items") || !kGet.intern()) {
        throw nb::python_error();
    }
    nb::module_ abc = nb::module_::import_("collections.abc");
    nb::object mapping = abc.attr("Mapping");
    nb::object keys_view = abc.attr("KeysView");
    nb::object items_view = abc.attr("ItemsView");
    nb::object values_view = abc.attr("ValuesView");

    nb::object type = nb::steal(PyType_FromSpec(&map_spec));
    if (!type) throw nb::python_error();
    type.attr("__slots__") = nb::make_tuple("_data", "item_type");
    mapping.attr("register")(type);

    g_mapping_abc = mapping.release().ptr();
    g_keys_view = keys_view.release().ptr();
    g_items_view = items_view.release().ptr();
    g_values_view = values_view.release().ptr();
    g_type = reinterpret_cast<PyTypeObject *>(type.release().ptr());
    return g_type;
}

}  // namespace torvo::ledger
