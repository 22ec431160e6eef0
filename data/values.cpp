// The value checks the package shares: check_symbol (contract symbols),
// number (numeric market-data fields) and different (the change test).
#include <cmath>

#include "common/args.h"
#include "common/change.h"
#include "common/errors.h"
#include "data.h"

namespace torvo::data {
namespace {

constexpr Py_ssize_t kMaxSymbolLength = 14000;

struct Texts {
    Ref symbol_format, symbol_long;
    Ref value_type, value_range, value_finite;
};
Texts &g_text = *new Texts();  // never destroyed, see data.h

PyObject *g_nan = nullptr;  // math.nan, handed out for missing values

bool ascii_alnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Whole-string match of: ASCII letters/digits, one dot, then ASCII letters,
// digits or hyphens (at least one character on each side).
bool symbol_shape(PyObject *symbol) {
    if (!PyUnicode_IS_ASCII(symbol)) return false;
    const auto *text = static_cast<const unsigned char *>(PyUnicode_DATA(symbol));
    const Py_ssize_t size = PyUnicode_GET_LENGTH(symbol);
    Py_ssize_t i = 0;
    while (i < size && ascii_alnum(text[i])) ++i;
    if (i == 0 || i == size || text[i] != '.') return false;
    const Py_ssize_t start = ++i;
    while (i < size && (ascii_alnum(text[i]) || text[i] == '-')) ++i;
    return i == size && i > start;
}

constinit args::Signature kCheckSymbol{"check_symbol", {"symbol"}, 1, 1};

PyObject *check_symbol(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *symbol;
    if (!args::bind(kCheckSymbol, args, nargs, kwnames, &symbol)) return nullptr;
    if (!PyUnicode_Check(symbol)) return errors::set_error(PyExc_ValueError, g_text.symbol_format.get());
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(symbol) < 0) return nullptr;
#endif
    if (!symbol_shape(symbol)) return errors::set_error(PyExc_ValueError, g_text.symbol_format.get());
    if (PyUnicode_GET_LENGTH(symbol) > kMaxSymbolLength)
        return errors::set_error(PyExc_ValueError, g_text.symbol_long.get());
    Py_RETURN_NONE;
}

constinit args::Signature kNumber{"number", {"value"}, 1, 1};

PyObject *number(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *value;
    if (!args::bind(kNumber, args, nargs, kwnames, &value)) return nullptr;
    return to_number(value);
}

constinit args::Signature kDifferent{"different", {"old", "new"}, 2, 2};

PyObject *different(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *pair[2];
    if (!args::bind(kDifferent, args, nargs, kwnames, pair)) return nullptr;
    if (both_nan(pair[0], pair[1])) Py_RETURN_FALSE;
    return PyObject_RichCompare(pair[0], pair[1], Py_NE);
}

PyMethodDef g_methods[] = {
    {"check_symbol", args::fast(check_symbol), METH_FASTCALL | METH_KEYWORDS,
     "check_symbol(symbol)\n--\n\n"
     "校验合约代码格式（交易所.合约，如 SHFE.rb2610 或 DCE.a2611-C-3700），"
     "格式不符或过长时抛出 ValueError。"},
    {"number", args::fast(number), METH_FASTCALL | METH_KEYWORDS,
     "number(value)\n--\n\n"
     "把行情消息的数值字段转换为 float；None 表示缺失，返回 NaN。"},
    {"different", args::fast(different), METH_FASTCALL | METH_KEYWORDS,
     "different(old, new)\n--\n\n"
     "判断新值相对旧值是否变化；两个 NaN 浮点数视为相同。"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool init_values(PyObject *module) {
    if (!make_text(g_text.symbol_format,
                   "symbol 格式应为 交易所.合约，例如 SHFE.rb2610 或 DCE.a2611-C-3700") ||
        !make_text(g_text.symbol_long, "symbol 过长") ||
        !make_text(g_text.value_type, "行情数值字段格式无效") ||
        !make_text(g_text.value_range, "行情数值字段超出范围") ||
        !make_text(g_text.value_finite, "行情数值字段不能为 NaN 或无穷大"))
        return false;
    if (!kCheckSymbol.intern() || !kNumber.intern() || !kDifferent.intern()) return false;
    if (g_nan == nullptr) {
        Ref math = Ref::steal(PyImport_ImportModule("math"));
        if (!math) return false;
        Ref nan = Ref::steal(PyObject_GetAttrString(math.get(), "nan"));
        if (!nan) return false;
        if (!PyFloat_CheckExact(nan.get()) || !std::isnan(PyFloat_AS_DOUBLE(nan.get())))
            nan = Ref::steal(PyFloat_FromDouble(std::nan("")));  // math.nan was replaced
        if (!nan) return false;
        g_nan = nan.release();
    }
    return PyModule_AddFunctions(module, g_methods) == 0;
}

PyObject *missing_value() { return g_nan; }

PyObject *to_number(PyObject *value) {
    double result;
    Ref converted;
    if (PyFloat_CheckExact(value)) {
        result = PyFloat_AS_DOUBLE(value);
        converted = Ref::borrow(value);  // float(x) of an exact float is x itself
    } else if (PyLong_CheckExact(value)) {
        result = PyLong_AsDouble(value);
        if (result == -1.0 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_OverflowError))
                return errors::set_error_from_current(ex_error_type(), g_text.value_range.get());
            return nullptr;
        }
    } else if (value == Py_None) {
        return Py_NewRef(g_nan);
    } else if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
        return errors::set_error(ex_error_type(), g_text.value_type.get());
    } else {
        // A subclass: its own float conversion decides, as float() would.
        Ref keep = Ref::borrow(value);
        converted = Ref::steal(PyNumber_Float(value));
        if (!converted) {
            if (PyErr_ExceptionMatches(PyExc_OverflowError))
                return errors::set_error_from_current(ex_error_type(), g_text.value_range.get());
            return nullptr;
        }
        result = PyFloat_AS_DOUBLE(converted.get());
    }
    if (!std::isfinite(result)) return errors::set_error(ex_error_type(), g_text.value_finite.get());
    if (converted) return converted.release();
    return PyFloat_FromDouble(result);
}

int differs(PyObject *old_value, PyObject *new_value) { return torvo::differs(old_value, new_value); }

}  // namespace torvo::data
