// Shared by the sources of `torvo.trading`: interned names, the objects the
// module takes from elsewhere at import, its tables, raising helpers, and the
// module-level bindings that are read at call time.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <nanobind/nanobind.h>

#include <initializer_list>

namespace torvo::trading {

namespace nb = nanobind;

// Fixed keys, words and method names, interned once at import.  The second
// column is the text when it differs from the identifier.
#define TORVO_TRADING_NAMES(X)                                     \
    /* event records */                                            \
    X(name, "name") X(data, "data") X(request_id, "request_id")    \
    X(last, "last") X(error, "error") X(ErrorID, "ErrorID")        \
    X(ErrorMsg, "ErrorMsg")                                        \
    /* request fields */                                           \
    X(BrokerID, "BrokerID") X(InvestorID, "InvestorID")            \
    X(UserID, "UserID") X(AppID, "AppID") X(AuthCode, "AuthCode")  \
    X(Password, "Password") X(CurrencyID, "CurrencyID")            \
    X(CNY, "CNY")                                                  \
    /* login response */                                           \
    X(TradingDay, "TradingDay") X(FrontID, "FrontID")              \
    X(SessionID, "SessionID") X(MaxOrderRef, "MaxOrderRef")        \
    X(trading_day, "trading_day") X(zero_text, "0")                \
    /* request names */                                            \
    X(Authenticate, "Authenticate") X(UserLogin, "UserLogin")      \
    X(SettlementInfoConfirm, "SettlementInfoConfirm")              \
    /* session statuses */                                         \
    X(SYNCING, "SYNCING") X(READY, "READY")                        \
    X(DISCONNECTED, "DISCONNECTED") X(ERROR, "ERROR")              \
    /* login phases */                                             \
    X(connecting, "connecting") X(authenticate, "authenticate")    \
    X(login, "login") X(settlement, "settlement") X(sync, "sync")  \
    X(ready, "ready")                                              \
    /* query records and kinds */                                  \
    X(id, "id") X(kind, "kind") X(rows, "rows")                    \
    X(progress, "progress") X(revision, "revision")                \
    X(account, "account")                                          \
    /* attributes and methods of other objects */                  \
    X(begin, "begin") X(check, "check") X(fail, "fail")            \
    X(success, "success") X(set, "set") X(cancel, "cancel")        \
    X(monotonic, "monotonic") X(time, "time") X(sleep, "sleep")    \
    X(gather, "gather") X(create_task, "create_task")              \
    X(RspQry, "RspQry") X(Event, "Event") X(asyncio, "asyncio") X(mkdtemp, "mkdtemp")  \
    X(os, "os") X(sep, "sep") X(fsencode, "fsencode")              \
    X(nt, "nt") X(mbcs, "mbcs") X(encode, "encode")                \
    X(request, "request") X(poll, "poll") X(close, "close")        \
    X(create, "create") X(get, "get") X(strip, "strip")  \
    X(update, "update")            \
    X(front_url, "front_url") X(broker_id, "broker_id")            \
    X(user_id, "user_id") X(app_id, "app_id")                      \
    X(auth_code, "auth_code") X(password, "password")              \
    X(account_id, "account_id") X(_values, "_values")              \
    X(strptime, "strptime") X(replace, "replace")                  \
    X(tzinfo, "tzinfo") X(timestamp, "timestamp")                  \
    X(return_exceptions, "return_exceptions") X(prefix, "prefix")  \
    X(flow_prefix, "torvo-ctp-")                                   \
    /* order offsets */                                            \
    X(OPEN, "OPEN") X(CLOSE, "CLOSE")                              \
    X(CLOSE_TODAY, "CLOSE_TODAY")                                  \
    X(CLOSE_YESTERDAY, "CLOSE_YESTERDAY")

struct Names {
#define TORVO_DECLARE_NAME(ident, text) PyObject *ident = nullptr;
    TORVO_TRADING_NAMES(TORVO_DECLARE_NAME)
#undef TORVO_DECLARE_NAME
};

// Objects taken at import; owned for the life of the process.
struct Globals {
    PyObject *module_dict = nullptr;
    // imported names
    PyObject *ExError = nullptr;
    PyObject *Recovery = nullptr;
    PyObject *Account = nullptr;
    PyObject *Position = nullptr;
    PyObject *Order = nullptr;
    PyObject *Trade = nullptr;
    PyObject *LiveMap = nullptr;
    PyObject *empty_position = nullptr;
    PyObject *TradingResult = nullptr;
    PyObject *datetime = nullptr;  // the class
    PyObject *CancelledError = nullptr;
    // tables
    PyObject *TZ = nullptr;
    PyObject *QUERY = nullptr;
    PyObject *SYNC_STEPS = nullptr;
    PyObject *PHASE_LABELS = nullptr;
    PyObject *QUERY_LABELS = nullptr;
    PyObject *ACCOUNT_FIELDS = nullptr;
    PyObject *OFFSET_BY_FLAG = nullptr;
    PyObject *FLAG_BY_OFFSET = nullptr;
    PyObject *timestamp_format = nullptr;  // "%Y%m%d%H:%M:%S"
    PyObject *generic_error = nullptr;     // the message of a session ended by an error
    PyObject *event_cases = nullptr;       // event name -> dispatch case number
    PyObject *bridge_name = nullptr;       // "<package>._relay"
    PyObject *small_ints[5] = {};          // 0, -1, -2, -3 and 1
};

inline Names names;
inline Globals g;

// Fills `names` and `g`'s imported names; throws on failure.
void init_names();
// Builds the tables and the four helpers and binds them on `m`, in order.
void init_tables(nb::module_ &m);

// ---- raising -----------------------------------------------------------

// type(message) raised as a Python error.
[[noreturn]] void raise(PyObject *type, const char *utf8);
[[noreturn]] void raise(PyObject *type, nb::handle message);
// An exception with no arguments at all.
[[noreturn]] void raise_bare(PyObject *type);
// ExError(message)
[[noreturn]] void raise_ex(nb::handle message);
// Throws the current Python error if `obj` is null; else returns it owned.
nb::object check(PyObject *obj);

// Joins str() of each part.
nb::str concat(std::initializer_list<nb::handle> parts);

// ---- small helpers -----------------------------------------------------

// A module-level binding of `torvo.trading`, looked up at call time.
nb::object module_attr(PyObject *name);
// time.monotonic() and time.time() through the module's `time` binding.
double monotonic();
double wall_time();
// asyncio.<name> through the module's `asyncio` binding.
nb::object asyncio_attr(PyObject *name);

// mapping[key], raising KeyError(key) as the host does; a dict subclass goes
// through its own __getitem__.
nb::object item(nb::handle mapping, PyObject *key);
inline nb::object item(nb::handle mapping, nb::handle key) { return item(mapping, key.ptr()); }

inline bool same_str(nb::handle s, PyObject *word) {
    if (s.ptr() == word) return true;
    if (!PyUnicode_Check(s.ptr())) return false;
    return PyUnicode_Compare(s.ptr(), word) == 0;
}

inline bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// obj.name() with an interned method name.
inline nb::object call_method(nb::handle obj, PyObject *name) {
    return check(PyObject_CallMethodNoArgs(obj.ptr(), name));
}

// target.update(other): a dict directly, anything else through its method
// (so a sequence of pairs works as with dict.update).
inline void dict_update(nb::handle target, nb::handle other) {
    if (PyDict_Check(other.ptr())) {
        if (PyDict_Update(target.ptr(), other.ptr()) < 0) throw nb::python_error();
        return;
    }
    check(PyObject_CallMethodOneArg(target.ptr(), names.update, other.ptr()));
}

// Whether a result or error code equals `value` (Python equality).
bool code_is(nb::handle code, long value);

// label_table.get(key, key)
nb::object label(PyObject *table, nb::handle key);

// The four helpers of the module.
nb::object timestamp(nb::handle day, nb::handle clock);
nb::object finite(nb::handle value);
nb::str local_order_id(nb::handle front, nb::handle session, nb::handle order_ref);
nb::object order_offset(nb::handle value);

}  // namespace torvo::trading
