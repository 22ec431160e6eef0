// The blank per-symbol position state of the session's own position
// accounting: the eleven quantities, then `symbol`, then `updated_at`.
#include "ledger.h"

#include <nanobind/nanobind.h>

#include <array>

#include "common/args.h"
#include "common/intern.h"
#include "common/ref.h"

namespace nb = nanobind;

namespace torvo::ledger {
namespace {

constexpr std::array<const char *, 11> kInternalFields = {
    "pos_long",      "pos_short",      "pos",          "pos_long_today",
    "pos_short_today", "pos_long_his", "pos_short_his", "frozen_long",
    "frozen_short",  "available_long", "available_short",
};

std::array<Interned, kInternalFields.size()> s_internal;
Interned s_symbol, s_updated_at;
constinit args::Signature kEmptyPosition{"empty_position", {"symbol", "updated_at"}, 2, 1,
                                args::Wording::interpreter};

// Finished dictionaries in the final key order, quantities None or 0, that
// empty_position copies and then completes with its two arguments.
PyObject *g_unknown = nullptr;
PyObject *g_zero = nullptr;

PyObject *make_template(PyObject *quantity) {
    Ref blank = Ref::steal(PyDict_New());
    if (!blank) return nullptr;
    for (const Interned &name : s_internal) {
        if (PyDict_SetItem(blank.get(), name, quantity) < 0) return nullptr;
    }
    if (PyDict_SetItem(blank.get(), s_symbol, Py_None) < 0 ||
        PyDict_SetItem(blank.get(), s_updated_at, Py_None) < 0) {
        return nullptr;
    }
    return blank.release();
}

void init_templates() {
    if (g_zero != nullptr) return;
    for (size_t i = 0; i < kInternalFields.size(); ++i) {
        if (!s_internal[i].init(kInternalFields[i])) throw nb::python_error();
    }
    if (!s_symbol.init("symbol") || !s_updated_at.init("updated_at") || !kEmptyPosition.intern())
        throw nb::python_error();
    nb::object zero = nb::int_(0);
    g_unknown = make_template(Py_None);
    if (g_unknown == nullptr) throw nb::python_error();
    g_zero = make_template(zero.ptr());
    if (g_zero == nullptr) throw nb::python_error();
}

}  // namespace

PyObject *internal_fields_list() {
    init_templates();
    nb::list names;
    for (const Interned &name : s_internal) names.append(nb::handle(name.get()));
    return names.release().ptr();
}

namespace {

PyObject *make_empty_position(PyObject *symbol, PyObject *updated_at) {
    Ref position = Ref::steal(PyDict_Copy(updated_at == Py_None ? g_unknown : g_zero));
    if (!position) return nullptr;
    if (PyDict_SetItem(position.get(), s_symbol, symbol) < 0 ||
        PyDict_SetItem(position.get(), s_updated_at, updated_at) < 0) {
        return nullptr;
    }
    return position.release();
}

PyObject *empty_position(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *arg[2];
    if (!args::bind(kEmptyPosition, args, nargs, kwnames, arg)) return nullptr;
    return make_empty_position(arg[0], arg[1] != nullptr ? arg[1] : Py_None);
}

}  // namespace

PyMethodDef position_functions[] = {
    {"empty_position",
     args::fast(empty_position),
     METH_FASTCALL | METH_KEYWORDS,
     "empty_position($module, /, symbol, updated_at=None)\n--\n\n"
     "返回一个新的空白持仓状态字典：internal_fields 中的各数量按顺序为 None"
     "（updated_at 为 None 时）或 0，随后是 symbol 和 updated_at。"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace torvo::ledger
