// LiveObject: a read-only attribute view over one dictionary, `_values`.
//
// Reading `record.name` first resolves the name on the class (the `fields`
// tuple, methods, the `_values` member) and then looks it up in `_values`.
// The class lookup goes through the interpreter's per-type attribute cache,
// so reading a field costs one cached miss and one dict lookup, and no
// exception is raised and swallowed on the way.  Every attribute write and
// deletion raises the read-only error.
#include "ledger.h"

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>

#include "common/args.h"
#include "common/errors.h"
#include "common/intern.h"
#include "common/ref.h"

namespace nb = nanobind;

namespace torvo::ledger {
namespace {

Interned s_fields;
PyTypeObject *g_type = nullptr;

// Blank value dictionaries of the built-in record types, found by the
// identity of their `fields` tuple.  A class whose `fields` was replaced or
// that defines its own falls back to building the dictionary key by key.
struct BlankTemplate {
    PyObject *fields = nullptr;
    PyObject *dict = nullptr;
};
std::array<BlankTemplate, 8> g_templates{};
size_t g_template_count = 0;

inline LiveObjectData *as_record(PyObject *self) {
    return reinterpret_cast<LiveObjectData *>(self);
}

// A new dictionary with every name of the class's `fields` mapped to None.
PyObject *blank_values(PyTypeObject *type) {
    // Borrowed; the lookup runs no Python code and sets no exception.
    PyObject *fields = _PyType_Lookup(type, s_fields);
    if (fields == nullptr) return PyDict_New();
    for (size_t i = 0; i < g_template_count; ++i) {
        if (g_templates[i].fields == fields) return PyDict_Copy(g_templates[i].dict);
    }
    Ref keep = Ref::borrow(fields);
    Ref values = Ref::steal(PyDict_New());
    Ref iter = Ref::steal(values ? PyObject_GetIter(fields) : nullptr);
    if (!iter) return nullptr;
    while (Ref name = Ref::steal(PyIter_Next(iter.get()))) {
        if (PyDict_SetItem(values.get(), name.get(), Py_None) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return values.release();
}

// The AttributeError of an unknown name: its only argument is the name, and
// it never shows an exception being handled at the time as its context.
PyObject *raise_unknown(PyObject *name) {
    return errors::set_error_from_none(PyExc_AttributeError, name);
}

PyObject *value_of(PyObject *self, PyObject *name) {
    PyObject *values = as_record(self)->values;
    if (values == nullptr) return raise_unknown(name);
    PyObject *value = PyDict_GetItemWithError(values, name);  // borrowed
    if (value != nullptr) return Py_NewRef(value);
    if (PyErr_Occurred()) return nullptr;
    return raise_unknown(name);
}

// True for Python subclasses that gave their instances a __dict__ (a
// subclass without __slots__): names stored there resolve before `_values`.
inline bool has_instance_dict(PyTypeObject *type) {
    return type->tp_dictoffset != 0 || (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0;
}

PyObject *live_getattro(PyObject *self, PyObject *name) {
    PyTypeObject *type = Py_TYPE(self);
    if (!has_instance_dict(type) && _PyType_Lookup(type, name) == nullptr) {
        return value_of(self, name);
    }
    PyObject *result = PyObject_GenericGetAttr(self, name);
    if (result != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return result;
    // A class member that refused (a property raising AttributeError, say)
    // falls back to the values, as an attribute fallback would.
    PyErr_Clear();
    return value_of(self, name);
}

int live_setattro(PyObject *, PyObject *, PyObject *) {
    (void)errors::set_error(PyExc_AttributeError, kReadOnly);
    return -1;
}

PyObject *live_new(PyTypeObject *type, PyObject *, PyObject *) {
    Ref values = Ref::steal(blank_values(type));
    if (!values) return nullptr;
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_record(self)->values = values.release();
    return self;
}

// Keyword arguments only: known fields are overwritten, other names are
// added as extra entries.
constexpr args::Signature kInit{"LiveObject.__init__", {}, 0, 0, args::Wording::interpreter, 1};

int live_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given != 0) {
        (void)args::too_many_positional(kInit, given);
        return -1;
    }
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) return 0;
    PyObject *values = as_record(self)->values;
    if (values == nullptr) {
        (void)errors::set_error(PyExc_ValueError, "LiveObject has been cleared");
        return -1;
    }
    return PyDict_Update(values, kwargs);
}

PyObject *live_repr(PyObject *self) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!name) return nullptr;
    PyObject *values = as_record(self)->values;
    if (values == nullptr) return PyUnicode_FromFormat("%U()", name.get());
    return PyUnicode_FromFormat("%U(%R)", name.get(), values);
}

int live_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_record(self)->values);
    return 0;
}

int live_clear(PyObject *self) {
    Py_CLEAR(as_record(self)->values);
    return 0;
}

void live_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_record(self)->values);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef live_members[] = {
    {"_values", kMemberObject, offsetof(LiveObjectData, values), kMemberReadOnly,
     "记录当前字段值的字典（字段名到值），由交易会话原地更新。"},
    {nullptr, 0, 0, 0, nullptr},
};

const char live_doc[] =
    "LiveObject(**values)\n--\n\n"
    "只读记录视图：属性读取先解析类成员，再查找 _values 字典中的字段值；"
    "任何属性赋值或删除都会抛出 AttributeError。";

PyType_Slot live_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(live_new)},
    {Py_tp_init, reinterpret_cast<void *>(live_init)},
    {Py_tp_dealloc, reinterpret_cast<void *>(live_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(live_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(live_clear)},
    {Py_tp_getattro, reinterpret_cast<void *>(live_getattro)},
    {Py_tp_setattro, reinterpret_cast<void *>(live_setattro)},
    {Py_tp_repr, reinterpret_cast<void *>(live_repr)},
    {Py_tp_members, live_members},
    {Py_tp_doc, const_cast<char *>(live_doc)},
    {0, nullptr},
};

PyType_Spec live_spec = {
    "torvo.ledger.LiveObject",
    static_cast<int>(sizeof(LiveObjectData)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    live_slots,
};

}  // namespace

PyTypeObject *live_object_type() {
    if (g_type != nullptr) return g_type;
    if (!s_fields.init("fields")) throw nb::python_error();
    nb::object type = nb::steal(PyType_FromSpec(&live_spec));
    if (!type) throw nb::python_error();
    type.attr("__slots__") = nb::make_tuple("_values");
    type.attr("fields") = nb::tuple();
    type.attr("__module__") = "torvo.ledger";
    g_type = reinterpret_cast<PyTypeObject *>(type.release().ptr());
    return g_type;
}

void add_blank_template(PyObject *fields) {
    for (size_t i = 0; i < g_template_count; ++i) {
        if (g_templates[i].fields == fields) return;
    }
    if (g_template_count == g_templates.size()) return;
    nb::dict blank;
    for (nb::handle name : nb::borrow<nb::tuple>(fields)) blank[name] = nb::none();
    g_templates[g_template_count].fields = nb::borrow(fields).release().ptr();
    g_templates[g_template_count].dict = blank.release().ptr();
    ++g_template_count;
}

}  // namespace torvo::ledger
