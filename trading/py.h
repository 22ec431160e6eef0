// The Python operations the session code is written in, each one line at
// the call site.  Errors of the host surface as `nb::python_error`; raising
// goes through errors::throw_error (common/errors.h).
//
// A name says what kind of object an operation takes, and so how it is done:
//   dict_*  the session's own dicts (its books, indexes and tables, a dict it
//           has just made, a ledger record's values): the dict C API, no
//           method of theirs called, whatever their class.
//   set_*   the session's own sets, the same way.
//   item, item_if_present, get_or, get_not_none, store, assign, pop, update:
//           any mapping, above all one from outside (an event record, a row,
//           a field dict, a record in the books, which Python code can
//           replace, a user's object): an exact dict directly (inline),
//           anything else through its own methods, reads and writes alike, so
//           a dict subclass sees its __getitem__, get, __setitem__, pop and
//           update.
// The rest are named for the Python they stand for (attr, call_method,
// truthy, equal, less, ...).  The trading rules built on them (which codes
// mean a busy front, the labels of messages) live in session.h.
#pragma once

#include <initializer_list>
#include <string_view>
#include <utility>

#include "common/errors.h"
#include "globals.h"

namespace torvo::trading {

// ---- errors ------------------------------------------------------------

// The result of a C API call that returns null (or -1) with an exception
// set on failure: the current Python error is thrown then.
//   check(new reference)       -> the object, owned
//   check_borrowed(borrowed)   -> the object, still borrowed
//   check(status)
nb::object check(PyObject *obj);
inline nb::handle check_borrowed(PyObject *borrowed) {
    if (borrowed == nullptr) throw nb::python_error();
    return borrowed;
}
inline void check(int status) {
    if (status < 0) throw nb::python_error();
}

// The text of each part (str() of what is not a str), joined: the message
// builder, e.g. message({"CTP ", query_label(kind), "查询失败（错误码：", code, "）"}).
struct Part {
    Part(const char *utf8) : text(utf8) {}
    Part(nb::handle obj) : obj(obj) {}
    const char *text = nullptr;
    nb::handle obj;
};
nb::str message(std::initializer_list<Part> parts);

// ---- the session's own dicts and sets: dict_*, set_* ------------------

// Borrowed value of d[key], or null when absent.
inline PyObject *dict_find(nb::handle d, nb::handle key) {
    PyObject *value = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
    return value;
}
inline bool dict_has(nb::handle d, nb::handle key) {
    int r = PyDict_Contains(d.ptr(), key.ptr());
    check(r);
    return r != 0;
}
// d[key] = value
inline void dict_store(nb::handle d, nb::handle key, nb::handle value) {
    check(PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()));
}
// del d[key] when the key is there; whether it was.
inline bool dict_discard(nb::handle d, nb::handle key) {
    if (dict_find(d, key) == nullptr) return false;  // no KeyError made and cleared
    if (PyDict_DelItem(d.ptr(), key.ptr()) == 0) return true;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
    PyErr_Clear();
    return false;
}
// d.pop(key, None): an empty object when absent.
nb::object dict_pop(nb::handle d, nb::handle key);
inline Py_ssize_t dict_size(nb::handle d) { return PyDict_GET_SIZE(d.ptr()); }

// A new dict of the pairs, in order.
nb::dict dict_of(std::initializer_list<std::pair<PyObject *, nb::handle>> items);
// The same for a record made on a hot path, with a `static Shape` of its own
// at the call site: the first call keeps a template of the keys and values,
// later ones copy it (no resizing, no re-hashing) and write only the values
// that are not the very objects of the template.  The template keeps the
// first call's values that live as long as the process anyway (None, bools,
// small ints, interned texts: the site's constants), and None for the rest.
struct Shape {
    PyObject *keys = nullptr;  // the template; kept for the process's life
};
nb::dict dict_of(Shape &shape, std::initializer_list<std::pair<PyObject *, nb::handle>> items);
// {name: name for name in names}: a set that keeps its order.
nb::object keys_of(nb::handle names_);

inline bool set_has(nb::handle s, nb::handle key) {
    int r = PySet_Contains(s.ptr(), key.ptr());
    check(r);
    return r != 0;
}
inline void set_add(nb::handle s, nb::handle key) { check(PySet_Add(s.ptr(), key.ptr())); }
inline void set_discard(nb::handle s, nb::handle key) { check(PySet_Discard(s.ptr(), key.ptr())); }
inline bool set_empty(nb::handle s) { return PySet_GET_SIZE(s.ptr()) == 0; }

// ---- any mapping: an exact dict directly, the rest through its methods ----

// mapping.get(key), None counting as absent: an empty object for both.
nb::object get_not_none(nb::handle mapping, PyObject *key);
// mapping.get(key, fallback), None included.
nb::object get_or_slow(nb::handle mapping, PyObject *key, nb::handle fallback);
inline nb::object get_or(nb::handle mapping, PyObject *key, nb::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        if (PyObject *value = PyDict_GetItemWithError(mapping.ptr(), key)) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(fallback);
    }
    return get_or_slow(mapping, key, fallback);
}
// mapping[key], raising KeyError(key) as the host does.
nb::object item_slow(nb::handle mapping, PyObject *key);
inline nb::object item(nb::handle mapping, PyObject *key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        if (PyObject *value = PyDict_GetItemWithError(mapping.ptr(), key)) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return item_slow(mapping, key);  // KeyError(key) for an exact dict
}
inline nb::object item(nb::handle mapping, nb::handle key) { return item(mapping, key.ptr()); }
// mapping[key], or an empty object when that raises KeyError.
nb::object item_if_present_slow(nb::handle mapping, PyObject *key);
inline nb::object item_if_present(nb::handle mapping, PyObject *key) {
    if (PyDict_CheckExact(mapping.ptr())) return nb::borrow(dict_find(mapping, key));
    return item_if_present_slow(mapping, key);
}
// mapping[key] = value
inline void store(nb::handle mapping, PyObject *key, nb::handle value) {
    check(PyDict_CheckExact(mapping.ptr()) ? PyDict_SetItem(mapping.ptr(), key, value.ptr())
                                           : PyObject_SetItem(mapping.ptr(), key, value.ptr()));
}
inline void store(nb::handle mapping, nb::handle key, nb::handle value) { store(mapping, key.ptr(), value); }
// mapping[key] = value; whether that changed the mapping (the key was absent
// or its value not equal to the new one).  The very object already there is
// not written again.  Anything but an exact dict is read through its
// __getitem__ and written through its __setitem__.
//
// replace(): the same for an exact dict whose value under `key` is `old`
// (null: absent).
inline bool replace(nb::handle d, PyObject *key, PyObject *old, nb::handle value) {
    if (old == value.ptr()) return false;  // the very object: nothing to write
    bool changed = old == nullptr;
    if (!changed) {
        nb::object held = nb::borrow(old);  // the comparison may run code that replaces it
        int r = PyObject_RichCompareBool(held.ptr(), value.ptr(), Py_EQ);
        check(r);
        changed = r == 0;
    }
    check(PyDict_SetItem(d.ptr(), key, value.ptr()));
    return changed;
}
bool assign_slow(nb::handle mapping, PyObject *key, nb::handle value);
inline bool assign(nb::handle mapping, PyObject *key, nb::handle value) {
    if (!PyDict_CheckExact(mapping.ptr())) return assign_slow(mapping, key, value);
    PyObject *old = PyDict_GetItemWithError(mapping.ptr(), key);
    if (old == nullptr && PyErr_Occurred()) throw nb::python_error();
    return replace(mapping, key, old, value);
}
// mapping.pop(key); an empty object when that raises KeyError.
nb::object pop(nb::handle mapping, nb::handle key);
// target.update(other): an exact dict by the dict C API (what dict.update
// does), anything else through its own update().
void update(nb::handle target, nb::handle other);

// ---- records of known layout ------------------------------------------

// The value of field `f` of an exact dict read at the field's place, when
// the key there is that very name (the record as the session made it); null
// otherwise, and the callers below then look it up.
inline PyObject *at_place(nb::handle d, Field f) {
    Py_ssize_t pos = f.at;
    PyObject *key, *value;
    const bool there = PyDict_CheckExact(d.ptr()) && PyDict_Next(d.ptr(), &pos, &key, &value) && key == f.name;
    return there ? value : nullptr;
}
inline PyObject *dict_find(nb::handle d, Field f) {
    if (PyObject *value = at_place(d, f)) return value;
    return dict_find(d, f.name);
}
inline nb::object item(nb::handle mapping, Field f) {
    if (PyObject *value = at_place(mapping, f)) return nb::borrow(value);
    return item(mapping, f.name);
}
inline nb::object item_if_present(nb::handle mapping, Field f) {
    if (PyObject *value = at_place(mapping, f)) return nb::borrow(value);
    return item_if_present(mapping, f.name);
}
inline nb::object get_or(nb::handle mapping, Field f, nb::handle fallback) {
    if (PyObject *value = at_place(mapping, f)) return nb::borrow(value);
    return get_or(mapping, f.name, fallback);
}
inline void store(nb::handle mapping, Field f, nb::handle value) { store(mapping, f.name, value); }
inline bool assign(nb::handle mapping, Field f, nb::handle value) {
    if (PyObject *old = at_place(mapping, f)) return replace(mapping, f.name, old, value);
    return assign(mapping, f.name, value);
}
inline nb::object pop(nb::handle mapping, Field f) { return pop(mapping, nb::handle(f.name)); }

// ---- calls and attributes ----------------------------------------------

// obj.name() with an interned method name.
inline nb::object call_method(nb::handle obj, PyObject *name) {
    return check(PyObject_CallMethodNoArgs(obj.ptr(), name));
}
// obj.name(*args) with an interned method name.
nb::object call_method(nb::handle obj, PyObject *name, std::initializer_list<nb::handle> args);
// obj.name with an interned name.
inline nb::object attr(nb::handle obj, PyObject *name) { return check(PyObject_GetAttr(obj.ptr(), name)); }
// fn(*args, **{name: value, ...}) with interned keyword names.
nb::object call_kw(nb::handle fn, std::initializer_list<nb::handle> args,
                   std::initializer_list<std::pair<PyObject *, nb::handle>> kwargs);

// ---- values ------------------------------------------------------------

inline bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    check(r);
    return r != 0;
}
// float(obj) and int(obj) as C++ numbers; str(obj).
double to_double(nb::handle obj);
long long to_int(nb::handle obj);
// A caller's text as an exact str: an exact str itself, a copy of a str
// subclass (whose __hash__ or __eq__ could run later inside the books), and
// anything else unchanged, for the caller's own type checks to refuse.
inline nb::object exact_text(nb::handle obj) {
    if (PyUnicode_CheckExact(obj.ptr()) || !PyUnicode_Check(obj.ptr())) return nb::borrow(obj);
    return check(PyUnicode_FromObject(obj.ptr()));
}
inline nb::str to_str(nb::handle obj) {
    if (PyUnicode_CheckExact(obj.ptr())) return nb::borrow<nb::str>(obj);
    return nb::steal<nb::str>(check(PyObject_Str(obj.ptr())).release());
}
inline nb::object int_of(long long value) { return check(PyLong_FromLongLong(value)); }
inline nb::object float_of(double value) { return check(PyFloat_FromDouble(value)); }
// id(obj)
inline nb::object id_of(nb::handle obj) { return check(PyLong_FromVoidPtr(obj.ptr())); }
// a == b with Python's equality.
inline bool equal(nb::handle a, nb::handle b) {
    if (a.ptr() == b.ptr()) return true;
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    check(r);
    return r != 0;
}

// The ASCII text of `parts` joined, made straight into a new str.
nb::object ascii_text(std::initializer_list<std::string_view> parts);
// The characters of an exact ASCII str.
inline std::string_view ascii_of(nb::handle text) {
    return {reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(text.ptr())),
            static_cast<size_t>(PyUnicode_GET_LENGTH(text.ptr()))};
}
inline bool is_ascii_text(nb::handle obj) { return PyUnicode_CheckExact(obj.ptr()) && PyUnicode_IS_ASCII(obj.ptr()); }

// str.strip(), without a call when there is nothing to strip.
nb::object stripped(nb::handle text);
// text.strip() == value, without making the stripped text when both are exact str.
bool strips_to(nb::handle text, nb::handle value);
// a + b, a - b, a < b with Python's semantics (ints stay exact).
nb::object add(nb::handle a, nb::handle b);
nb::object sub(nb::handle a, nb::handle b);
bool less(nb::handle a, nb::handle b);
// max(a, b) and min(a, b): the first argument unless the second is strictly
// greater (smaller), as the built-ins do.
inline nb::object max_of(nb::handle a, nb::handle b) { return nb::borrow(less(a, b) ? b : a); }
inline nb::object min_of(nb::handle a, nb::handle b) { return nb::borrow(less(b, a) ? b : a); }

// value == word, for an interned word of `names`: a str (or str subclass)
// of that text; nothing else is equal.
inline bool equals_text(nb::handle value, PyObject *word) {
    if (value.ptr() == word) return true;
    if (!PyUnicode_Check(value.ptr())) return false;
    return PyUnicode_Compare(value.ptr(), word) == 0;
}
// value == number, with Python's equality (an exact int told in place).
bool equals_int(nb::handle value, long number);

// ---- the module's bindings ---------------------------------------------

// A module-level binding of `torvo.trading`, looked up at call time.
nb::object module_attr(PyObject *name);
// time.monotonic() and time.time() through the module's `time` binding.
double monotonic();
double wall_time();
// int(time.time() * 1000)
long long now_ms();
// asyncio.<name> through the module's `asyncio` binding.
inline nb::object asyncio_attr(PyObject *name) { return attr(module_attr(names.asyncio), name); }

}  // namespace torvo::trading
