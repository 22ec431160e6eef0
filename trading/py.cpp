// The helper layer of the session code (py.h).
#include "py.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "common/errors.h"

namespace torvo::trading {

// ---- errors ------------------------------------------------------------

nb::object check(PyObject *obj) {
    if (obj == nullptr) throw nb::python_error();
    return nb::steal(obj);
}

nb::str message(std::initializer_list<Part> parts) {
    nb::object list = check(PyList_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t i = 0;
    for (const Part &part : parts) {
        PyObject *text = part.text != nullptr ? PyUnicode_FromString(part.text)
                         : PyUnicode_Check(part.obj.ptr()) ? Py_NewRef(part.obj.ptr())
                                                           : PyObject_Str(part.obj.ptr());
        PyList_SET_ITEM(list.ptr(), i++, check(text).release().ptr());
    }
    nb::object empty = check(PyUnicode_FromStringAndSize("", 0));
    return nb::steal<nb::str>(check(PyUnicode_Join(empty.ptr(), list.ptr())).release());
}

// ---- the session's own dicts -------------------------------------------

nb::object dict_pop(nb::handle d, nb::handle key) {
    nb::object value = nb::borrow(dict_find(d, key));
    if (value.is_valid()) check(PyDict_DelItem(d.ptr(), key.ptr()));
    return value;
}

nb::dict dict_of(std::initializer_list<std::pair<PyObject *, nb::handle>> items) {
    nb::dict d;
    for (auto [key, value] : items) check(PyDict_SetItem(d.ptr(), key, value.ptr()));
    return d;
}

namespace {

// A value that lives as long as the process in any case: None, a bool, a
// small int or an interned text.  Only such values stay in a template.
bool lasting(PyObject *value) {
    if (value == Py_None || PyBool_Check(value)) return true;
    if (PyUnicode_CheckExact(value)) return PyUnicode_CHECK_INTERNED(value) != 0;
    if (!PyLong_CheckExact(value)) return false;
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(value, &overflow);
    return overflow == 0 && v >= -5 && v <= 256;
}

}  // namespace

nb::dict dict_of(Shape &shape, std::initializer_list<std::pair<PyObject *, nb::handle>> items) {
    const size_t n = items.size();
    bool fits = shape.keys != nullptr && PyDict_GET_SIZE(shape.keys) == static_cast<Py_ssize_t>(n) && n <= 64;
    uint64_t kept = 0;  // bit i: item i is the template's own value, copied with it
    if (fits) {
        // The keys must be the template's, in its order.
        Py_ssize_t pos = 0;
        size_t i = 0;
        PyObject *key, *value;
        for (auto [wanted, given] : items) {
            if (!PyDict_Next(shape.keys, &pos, &key, &value) || key != wanted) {
                fits = false;
                break;
            }
            if (value == given.ptr()) kept |= uint64_t{1} << i;
            ++i;
        }
    }
    if (!fits) {
        if (shape.keys != nullptr) return dict_of(items);  // a call site with two shapes: no template
        nb::dict first = dict_of(items);
        nb::dict keys;
        for (auto [key, value] : items) check(PyDict_SetItem(keys.ptr(), key, lasting(value.ptr()) ? value.ptr() : Py_None));
        shape.keys = keys.release().ptr();
        return first;
    }
    nb::dict d = nb::steal<nb::dict>(check(PyDict_Copy(shape.keys)).release());
    size_t i = 0;
    for (auto [key, value] : items) {
        if (!(kept & uint64_t{1} << i)) check(PyDict_SetItem(d.ptr(), key, value.ptr()));
        ++i;
    }
    return d;
}

nb::object keys_of(nb::handle names_) {
    nb::dict out;
    nb::object items = check(PySequence_Fast(names_.ptr(), "fields 必须是序列"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i) {
        PyObject *name = PySequence_Fast_GET_ITEM(items.ptr(), i);
        check(PyDict_SetItem(out.ptr(), name, name));
    }
    return out;
}

// ---- any mapping -------------------------------------------------------

nb::object get_not_none(nb::handle mapping, PyObject *key) {
    nb::object value;
    if (PyDict_CheckExact(mapping.ptr())) {
        value = nb::borrow(dict_find(mapping, key));
    } else {
        value = check(PyObject_CallMethodOneArg(mapping.ptr(), names.get, key));
    }
    if (value.is_valid() && value.is_none()) value.reset();
    return value;
}

// The rest of get_or: any mapping but an exact dict.
nb::object get_or_slow(nb::handle mapping, PyObject *key, nb::handle fallback) {
    return check(PyObject_CallMethodObjArgs(mapping.ptr(), names.get, key, fallback.ptr(), nullptr));
}

// The rest of item: an exact dict without the key, and any other mapping.
nb::object item_slow(nb::handle mapping, PyObject *key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        // KeyError(key), with the key as its one argument even when it is a tuple.
        errors::throw_error(PyExc_KeyError, key);
    }
    return check(PyObject_GetItem(mapping.ptr(), key));
}

// The rest of item_if_present: any mapping but an exact dict.
nb::object item_if_present_slow(nb::handle mapping, PyObject *key) {
    if (PyObject *value = PyObject_GetItem(mapping.ptr(), key)) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
    PyErr_Clear();
    return {};
}

bool assign_slow(nb::handle mapping, PyObject *key, nb::handle value) {
    nb::object old = item_if_present_slow(mapping, key);
    if (old.ptr() == value.ptr()) return false;  // the very object: nothing to write
    bool changed = !old.is_valid() || !equal(old, value);
    store(mapping, key, value);
    return changed;
}

nb::object pop(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) return dict_pop(mapping, key);
    PyObject *args[] = {mapping.ptr(), key.ptr()};
    if (PyObject *value = PyObject_VectorcallMethod(names.pop, args, 2, nullptr))
        return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
    PyErr_Clear();
    return {};
}

void update(nb::handle target, nb::handle other) {
    if (PyDict_CheckExact(target.ptr()) && PyDict_Check(other.ptr())) {
        check(PyDict_Update(target.ptr(), other.ptr()));
        return;
    }
    check(PyObject_CallMethodOneArg(target.ptr(), names.update, other.ptr()));
}

// ---- calls -------------------------------------------------------------

nb::object call_method(nb::handle obj, PyObject *name, std::initializer_list<nb::handle> args) {
    PyObject *stack[8];  // stack[0] is free for the callee, as PY_VECTORCALL_ARGUMENTS_OFFSET allows
    if (args.size() > 6) errors::throw_error(PyExc_SystemError, "call_method: too many arguments");
    size_t n = 1;
    stack[n++] = obj.ptr();
    for (nb::handle arg : args) stack[n++] = arg.ptr();
    return check(PyObject_VectorcallMethod(name, stack + 1, (n - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

nb::object call_kw(nb::handle fn, std::initializer_list<nb::handle> args,
                   std::initializer_list<std::pair<PyObject *, nb::handle>> kwargs) {
    PyObject *stack[8];
    const size_t n = args.size(), k = kwargs.size();
    if (n + k > 8) errors::throw_error(PyExc_SystemError, "call_kw: too many arguments");
    size_t i = 0;
    for (nb::handle a : args) stack[i++] = a.ptr();
    nb::object kwnames = check(PyTuple_New(static_cast<Py_ssize_t>(k)));
    Py_ssize_t j = 0;
    for (auto [name, value] : kwargs) {
        PyTuple_SET_ITEM(kwnames.ptr(), j++, Py_NewRef(name));
        stack[i++] = value.ptr();
    }
    return check(PyObject_Vectorcall(fn.ptr(), stack, n, k != 0 ? kwnames.ptr() : nullptr));
}

// ---- values ------------------------------------------------------------

double to_double(nb::handle obj) {
    double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

long long to_int(nb::handle obj) {
    long long v = PyLong_AsLongLong(obj.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

nb::object ascii_text(std::initializer_list<std::string_view> parts) {
    size_t length = 0;
    for (std::string_view part : parts) length += part.size();
    nb::object text = check(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
    char *out = reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(text.ptr()));
    for (std::string_view part : parts) out = std::copy(part.begin(), part.end(), out);
    return text;
}

namespace {

// The bounds of an exact str without the blanks str.strip() removes (its
// whitespace test).
std::pair<Py_ssize_t, Py_ssize_t> strip_bounds(PyObject *text) {
    const int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(text);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    return {start, end};
}

}  // namespace

nb::object stripped(nb::handle text) {
    if (!PyUnicode_CheckExact(text.ptr())) return call_method(text, names.strip);
    auto [start, end] = strip_bounds(text.ptr());
    if (start == 0 && end == PyUnicode_GET_LENGTH(text.ptr())) return nb::borrow(text);  // nothing to strip
    return check(PyUnicode_Substring(text.ptr(), start, end));
}

bool strips_to(nb::handle text, nb::handle value) {
    if (!PyUnicode_CheckExact(text.ptr()) || !PyUnicode_CheckExact(value.ptr())) return equal(stripped(text), value);
    auto [start, end] = strip_bounds(text.ptr());
    if (end - start != PyUnicode_GET_LENGTH(value.ptr())) return false;
    if (start == end) return true;
    Py_ssize_t r = PyUnicode_Tailmatch(text.ptr(), value.ptr(), start, end, -1);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

namespace {

// Both exact ints small enough for a long long.
bool small_ints(nb::handle a, nb::handle b, long long &x, long long &y) {
    if (!PyLong_CheckExact(a.ptr()) || !PyLong_CheckExact(b.ptr())) return false;
    int oa = 0, ob = 0;
    x = PyLong_AsLongLongAndOverflow(a.ptr(), &oa);
    y = PyLong_AsLongLongAndOverflow(b.ptr(), &ob);
    return oa == 0 && ob == 0 && x > -(1LL << 62) && x < (1LL << 62) && y > -(1LL << 62) && y < (1LL << 62);
}

}  // namespace

nb::object add(nb::handle a, nb::handle b) {
    long long x, y;
    if (small_ints(a, b, x, y)) return int_of(x + y);
    return check(PyNumber_Add(a.ptr(), b.ptr()));
}

nb::object sub(nb::handle a, nb::handle b) {
    long long x, y;
    if (small_ints(a, b, x, y)) return int_of(x - y);
    return check(PyNumber_Subtract(a.ptr(), b.ptr()));
}

bool less(nb::handle a, nb::handle b) {
    long long x, y;
    if (small_ints(a, b, x, y)) return x < y;
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    check(r);
    return r != 0;
}

bool equals_int(nb::handle value, long number) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long v = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
        return overflow == 0 && v == number;
    }
    nb::object other = int_of(number);
    return equal(value, other);
}

// ---- the module's bindings ---------------------------------------------

nb::object module_attr(PyObject *name) {
    PyObject *value = PyDict_GetItemWithError(g.module_dict, name);
    if (value == nullptr) {
        if (PyErr_Occurred()) throw nb::python_error();
        errors::throw_error(PyExc_NameError, "name '%U' is not defined", name);
    }
    return nb::borrow(value);
}

double monotonic() { return to_double(call_method(module_attr(names.time), names.monotonic)); }
double wall_time() { return to_double(call_method(module_attr(names.time), names.time)); }
long long now_ms() { return static_cast<long long>(wall_time() * 1000); }

}  // namespace torvo::trading
