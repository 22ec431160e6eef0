// Arguments of the native functions called the fast way (METH_FASTCALL,
// with or without METH_KEYWORDS): positional and keyword arguments are
// matched to named parameters without building a tuple or a dictionary, and
// a call that does not fit raises the TypeError its module has always
// raised.  Plain C API, shared by every module (_relay included).
//
// Each function declares its parameters once:
//
//     constinit args::Signature kDecode{"decode", {"data", "symbol", "quote"}, 2, 2};
//     ...
//     PyObject *arg[3];
//     if (!args::bind(kDecode, args, nargs, kwnames, arg)) return nullptr;
//
// Parameters are named in order, the positional ones (which may also be
// passed by keyword) first, keyword-only ones after them; the first
// `required` must be given and are positional.  `intern()`, called when the
// module initialises, lets a keyword be matched by identity (the
// interpreter passes interned names); without it the names are compared as
// text, with the same result.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <cstdlib>
#include <new>
#include <string>

#include "common/errors.h"

namespace torvo::args {

// How a module words a call that does not fit.
enum class Wording : unsigned char {
    // The data module's own: "f() takes 2 positional arguments but 3 were
    // given", "f() missing required argument 'x'".
    keywords,
    // The interpreter's, as for a function defined in Python; a method's
    // counts include self: "get() takes from 2 to 3 positional arguments
    // but 4 were given", "f() missing 1 required positional argument: 'x'".
    interpreter,
    // The tuple parser's, for positional-only functions: "f() takes exactly
    // 4 arguments (3 given)", "f() takes no keyword arguments".
    tuple,
};

inline constexpr int kMaxParameters = 8;

// Not constexpr on purpose: reached only by a signature with too many parameters.
[[noreturn]] inline void too_many_parameters() noexcept { std::abort(); }

struct Signature {
    constexpr Signature(const char *function, std::initializer_list<const char *> parameters,
                        int positional, int required, Wording wording = Wording::keywords,
                        int self_count = 0) noexcept
        : function(function), positional(positional), required(required),
          self_count(self_count), wording(wording) {
        // Over the limit, constant evaluation stops here: declare every
        // signature constexpr or constinit and it is a compile error.
        if (parameters.size() > kMaxParameters) too_many_parameters();
        for (const char *name : parameters) names[count++] = name;
    }

    // Interns the names for matching keywords by identity; false with an
    // exception set.  The references live for the rest of the process.
    bool intern() noexcept {
        for (int i = 0; i < count; ++i) {
            if (keys[i] == nullptr) keys[i] = PyUnicode_InternFromString(names[i]);
            if (keys[i] == nullptr) return false;
        }
        return true;
    }

    // The parameter a keyword names, or -1.
    int slot_of(PyObject *key) const noexcept {
        for (int i = 0; i < count; ++i)
            if (keys[i] == key) return i;
        for (int i = 0; i < count; ++i)
            if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return i;
        return -1;
    }

    const char *function;  // as messages name it: "decode", "get"
    const char *names[kMaxParameters] = {};
    PyObject *keys[kMaxParameters] = {};  // interned names, once intern() ran
    int count = 0;                        // how many parameters there are
    int positional;                       // how many may be passed by position
    int required;                         // the first `required` must be given
    int self_count;                       // 1 for a method (the interpreter counts self)
    Wording wording;
};

namespace detail {

inline const char *plural(long n) noexcept { return n == 1 ? "" : "s"; }

// The tuple parser's count message: "takes exactly 4 arguments (3 given)".
inline errors::Failed count_error(const Signature &sig, Py_ssize_t nargs) noexcept {
    const bool exact = sig.required == sig.positional;
    const int bound = !exact && nargs < sig.required ? sig.required : sig.positional;
    const char *how = exact ? "exactly" : nargs < sig.required ? "at least" : "at most";
    return errors::set_error(PyExc_TypeError, "%s() takes %s %d argument%s (%zd given)",
                             sig.function, how, bound, plural(bound), nargs);
}

// The interpreter's: "missing 2 required positional arguments: 'a' and 'b'".
inline errors::Failed missing_error(const Signature &sig, PyObject *const *out) noexcept {
    int missing = 0;
    std::string list;
    try {
        for (int i = 0; i < sig.required; ++i) {
            if (out[i] != nullptr) continue;
            ++missing;
            if (!list.empty()) list += ", ";
            list += '\'';
            list += sig.names[i];
            list += '\'';
        }
        if (missing > 1) {
            const std::string::size_type last = list.rfind(", ");
            list.replace(last, 2, missing == 2 ? " and " : ", and ");
        }
    } catch (const std::bad_alloc &) {
        return errors::set_no_memory();
    }
    return errors::set_error(PyExc_TypeError, "%s() missing %d required positional argument%s: %s",
                             sig.function, missing, plural(missing), list.c_str());
}

}  // namespace detail

// The error of `nargs` positional arguments, more than the function takes.
inline errors::Failed too_many_positional(const Signature &sig, Py_ssize_t nargs) noexcept {
    switch (sig.wording) {
    case Wording::keywords:
        return errors::set_error(PyExc_TypeError,
                                 "%s() takes %d positional argument%s but %zd were given",
                                 sig.function, sig.positional, detail::plural(sig.positional),
                                 nargs);
    case Wording::interpreter: {
        const int low = sig.required + sig.self_count;
        const int high = sig.positional + sig.self_count;
        const Py_ssize_t given = nargs + sig.self_count;
        if (low == high)
            return errors::set_error(PyExc_TypeError,
                                     "%s() takes %d positional argument%s but %zd were given",
                                     sig.function, high, detail::plural(high), given);
        return errors::set_error(PyExc_TypeError,
                                 "%s() takes from %d to %d positional arguments but %zd were given",
                                 sig.function, low, high, given);
    }
    case Wording::tuple:
        break;
    }
    return detail::count_error(sig, nargs);
}

// The tuple parser's error of positional argument `index` (from 0), given
// as `given` where `expected` ("str", "dict") was wanted.
inline errors::Failed wrong_type(const Signature &sig, int index, const char *expected,
                                 PyObject *given) noexcept {
    return errors::set_error(PyExc_TypeError, "%s() argument %d must be %s, not %.50s",
                             sig.function, index + 1, expected,
                             given == Py_None ? "None" : Py_TYPE(given)->tp_name);
}

namespace detail {

inline bool bind_slow(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames, PyObject **out) noexcept {
    if (nargs > sig.positional) return too_many_positional(sig, nargs);
    for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t named = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (named > 0 && sig.wording == Wording::tuple)
        return errors::set_error(PyExc_TypeError, "%s() takes no keyword arguments", sig.function);
    for (Py_ssize_t k = 0; k < named; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        const int slot = sig.slot_of(key);
        if (slot < 0)
            return errors::set_error(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                     sig.function, key);
        if (out[slot] != nullptr)
            return errors::set_error(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                                     sig.function, sig.names[slot]);
        out[slot] = args[nargs + k];
    }
    for (int i = 0; i < sig.required; ++i) {
        if (out[i] != nullptr) continue;
        switch (sig.wording) {
        case Wording::keywords:
            return errors::set_error(PyExc_TypeError, "%s() missing required argument '%s'",
                                     sig.function, sig.names[i]);
        case Wording::interpreter:
            return missing_error(sig, out);
        case Wording::tuple:
            return count_error(sig, nargs);
        }
    }
    return true;
}

}  // namespace detail

// Fills out[0 .. count) with borrowed references to the arguments (null for
// an optional parameter not given).  False with TypeError set on a call
// that does not fit.
inline bool bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargs,
                 PyObject *kwnames, PyObject **out) noexcept {
    if (kwnames == nullptr && nargs >= sig.required && nargs <= sig.positional) {
        for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
        return true;
    }
    return detail::bind_slow(sig, args, nargs, kwnames, out);
}

// A fast-call function (METH_FASTCALL, or with METH_KEYWORDS the one that
// also takes the keyword names) as a method table stores it.
using FastFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t);
using FastKeywordsFunction = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t, PyObject *);

inline PyCFunction fast(FastFunction function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
inline PyCFunction fast(FastKeywordsFunction function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace torvo::args
