// Module-level names of `torvo.trading` besides its two classes: the imports,
// the constant tables and the four field readers.
#include "py.h"

#include <cmath>
#include <charconv>
#include <cstdint>

using namespace nanobind::literals;

namespace torvo::trading {

// ---- the four field readers ---------------------------------------------

namespace {

bool ascii_digits(const unsigned char *s, int n, int &out) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

unsigned days_in_month(int y, int m) {
    static const unsigned char days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0))) return 29;
    return days[m - 1];
}

enum class Fast { Value, None, Unknown };

// The common shape, eight ASCII digits and "HH:MM:SS", computed directly;
// for that shape this gives exactly what the general parse gives.
Fast fast_timestamp(PyObject *day, PyObject *clock, int64_t &ms) {
    if (!PyUnicode_CheckExact(day) || !PyUnicode_CheckExact(clock)) return Fast::Unknown;
    if (!PyUnicode_IS_ASCII(day) || !PyUnicode_IS_ASCII(clock)) return Fast::Unknown;
    if (PyUnicode_GET_LENGTH(day) != 8 || PyUnicode_GET_LENGTH(clock) != 8) return Fast::Unknown;
    const auto *d = static_cast<const unsigned char *>(PyUnicode_DATA(day));
    const auto *c = static_cast<const unsigned char *>(PyUnicode_DATA(clock));
    int year, month, mday, hour, minute, second;
    if (!ascii_digits(d, 4, year) || !ascii_digits(d + 4, 2, month) || !ascii_digits(d + 6, 2, mday))
        return Fast::Unknown;
    if (c[2] != ':' || c[5] != ':') return Fast::Unknown;
    if (!ascii_digits(c, 2, hour) || !ascii_digits(c + 3, 2, minute) || !ascii_digits(c + 6, 2, second))
        return Fast::Unknown;
    if (year < 1 || month < 1 || month > 12 || mday < 1 || hour > 23 || minute > 59 || second > 59)
        return Fast::None;
    if (static_cast<unsigned>(mday) > days_in_month(year, month)) return Fast::None;
    int64_t seconds = days_from_civil(year, month, mday) * 86400 + hour * 3600 + minute * 60 + second;
    ms = (seconds - 8 * 3600) * 1000;
    return Fast::Value;
}

bool value_or_type_error(const nb::python_error &e) {
    return e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError);
}

}  // namespace

nb::object timestamp(nb::handle day, nb::handle clock) {
    int64_t ms = 0;
    switch (fast_timestamp(day.ptr(), clock.ptr(), ms)) {
        case Fast::Value: return check(PyLong_FromLongLong(ms));
        case Fast::None: return nb::none();
        case Fast::Unknown: break;
    }
    try {
        // int(datetime.strptime(day + clock, FORMAT).replace(tzinfo=TZ).timestamp() * 1000)
        nb::object text = check(PyNumber_Add(day.ptr(), clock.ptr()));
        nb::object parsed =
            check(PyObject_CallMethodObjArgs(g.datetime, names.strptime, text.ptr(), g.timestamp_format, nullptr));
        nb::object aware = call_kw(attr(parsed, names.replace), {}, {{names.tzinfo, g.TZ}});
        nb::object ms = check(PyNumber_Multiply(call_method(aware, names.timestamp).ptr(), g.thousand));
        return check(PyNumber_Long(ms.ptr()));
    } catch (nb::python_error &e) {
        if (value_or_type_error(e)) return nb::none();
        throw;
    }
}

nb::object finite(nb::handle value) {
    PyObject *v = value.ptr();
    if (PyFloat_CheckExact(v)) {
        double x = PyFloat_AS_DOUBLE(v);
        return std::isfinite(x) && std::fabs(x) < 1e100 ? nb::borrow(value) : nb::none();
    }
    if (PyLong_CheckExact(v) || PyBool_Check(v)) {
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow == 0) return nb::borrow(value);  // |v| < 2**63 < 1e100
    } else if (!PyLong_Check(v) && !PyFloat_Check(v)) {
        return nb::none();
    }
    // Large ints and subclasses: math.isfinite(value) and abs(value) < 1e100.
    double x = PyFloat_AsDouble(v);
    if (x == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (!std::isfinite(x)) return nb::none();
    nb::object magnitude = check(PyNumber_Absolute(v));
    nb::object limit = check(PyFloat_FromDouble(1e100));
    int below = PyObject_RichCompareBool(magnitude.ptr(), limit.ptr(), Py_LT);
    if (below < 0) throw nb::python_error();
    return below ? nb::borrow(value) : nb::none();
}

namespace {

nb::object formatted(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
    if (PyLong_CheckExact(value.ptr())) return check(PyObject_Str(value.ptr()));
    nb::object spec = check(PyUnicode_FromStringAndSize("", 0));
    return check(PyObject_Format(value.ptr(), spec.ptr()));
}

}  // namespace

nb::str local_order_id(nb::handle front, nb::handle session, nb::handle order_ref) {
    // The usual case, ints and an ASCII reference, written straight into the new text.
    if (PyLong_CheckExact(front.ptr()) && PyLong_CheckExact(session.ptr()) && is_ascii_text(order_ref)) {
        int front_overflow = 0, session_overflow = 0;
        const long long f = PyLong_AsLongLongAndOverflow(front.ptr(), &front_overflow);
        const long long s = PyLong_AsLongLongAndOverflow(session.ptr(), &session_overflow);
        if (front_overflow == 0 && session_overflow == 0) {
            char digits[2][24];  // str() of each number
            const std::string_view a(digits[0], std::to_chars(digits[0], digits[0] + 24, f).ptr - digits[0]);
            const std::string_view b(digits[1], std::to_chars(digits[1], digits[1] + 24, s).ptr - digits[1]);
            return nb::borrow<nb::str>(ascii_text({a, ":", b, ":", ascii_of(order_ref)}));
        }
    }
    nb::object a = formatted(front), b = formatted(session), c = formatted(order_ref);
    return nb::steal<nb::str>(check(PyUnicode_FromFormat("%U:%U:%U", a.ptr(), b.ptr(), c.ptr())).release());
}

nb::object order_offset(nb::handle value) {
    nb::object text;
    if (PyUnicode_CheckExact(value.ptr())) {
        text = nb::borrow(value);
    } else if (truthy(value)) {
        text = check(PyObject_Str(value.ptr()));
    }
    if (!text.is_valid() || PyUnicode_GET_LENGTH(text.ptr()) == 0) return nb::borrow(names.CLOSE);
    switch (PyUnicode_READ_CHAR(text.ptr(), 0)) {
        case '0': return nb::borrow(names.OPEN);
        case '1': return nb::borrow(names.CLOSE);
        case '3': return nb::borrow(names.CLOSE_TODAY);
        case '4': return nb::borrow(names.CLOSE_YESTERDAY);
        default: return nb::borrow(names.CLOSE);
    }
}

// ---- import ------------------------------------------------------------

namespace {

PyObject *intern(const char *text) {
    PyObject *s = PyUnicode_InternFromString(text);
    if (s == nullptr) throw nb::python_error();
    return s;
}

PyObject *owned_attr(nb::handle obj, const char *name) {
    return check(PyObject_GetAttrString(obj.ptr(), name)).release().ptr();
}

PyObject *dict_of(std::initializer_list<std::pair<const char *, const char *>> items) {
    nb::object d = check(PyDict_New());
    for (auto [key, value] : items) {
        nb::object v = check(PyUnicode_FromString(value));
        if (PyDict_SetItemString(d.ptr(), key, v.ptr()) < 0) throw nb::python_error();
    }
    return d.release().ptr();
}

}  // namespace

void init_names() {
#define TORVO_INTERN_NAME(ident, text) names.ident = intern(text);
    TORVO_TRADING_NAMES(TORVO_INTERN_NAME)
#undef TORVO_INTERN_NAME
    // Each record's fields numbered in their order.
    Py_ssize_t at = 0;
#define TORVO_PLACE_FIELD(ident) record.ident = {names.ident, at++};
    {
        OrderFields &record = order_key;
        TORVO_ORDER_FIELDS(TORVO_PLACE_FIELD)
    }
    at = 0;
    {
        ChildFields &record = child_key;
        TORVO_CHILD_FIELDS(TORVO_PLACE_FIELD)
    }
    at = 0;
    {
        PositionFields &record = position_key;
        TORVO_POSITION_FIELDS(TORVO_PLACE_FIELD)
    }
#undef TORVO_PLACE_FIELD
}

void init_tables(nb::module_ &m) {
    // The package the module belongs to, for its relative imports.
    nb::str full_name = nb::borrow<nb::str>(m.attr("__name__"));
    std::string package(full_name.c_str());
    package = package.substr(0, package.rfind('.'));
    g.bridge_name = intern((package + "._relay").c_str());
    auto import = [&](const char *name) {
        return nb::module_::import_((package + "." + name).c_str());
    };

    nb::module_ asyncio = nb::module_::import_("asyncio");
    m.attr("asyncio") = asyncio;
    g.CancelledError = owned_attr(asyncio, "CancelledError");
    g.AsyncioEvent = owned_attr(asyncio, "Event");
    nb::module_ datetime = nb::module_::import_("datetime");
    g.datetime = owned_attr(datetime, "datetime");
    m.attr("datetime") = nb::handle(g.datetime);
    m.attr("timedelta") = datetime.attr("timedelta");
    m.attr("timezone") = datetime.attr("timezone");
    m.attr("math") = nb::module_::import_("math");
    m.attr("os") = nb::module_::import_("os");
    m.attr("time") = nb::module_::import_("time");
    m.attr("mkdtemp") = nb::module_::import_("tempfile").attr("mkdtemp");

    nb::module_ data = import("data");
    g.ExError = owned_attr(data, "ExError");
    m.attr("ExError") = nb::handle(g.ExError);
    m.attr("check_symbol") = data.attr("check_symbol");
    m.attr("different") = data.attr("different");

    nb::module_ errors = import("errors");
    g.Recovery = owned_attr(errors, "Recovery");
    m.attr("Recovery") = nb::handle(g.Recovery);

    nb::module_ ledger = import("ledger");
    g.Account = owned_attr(ledger, "Account");
    g.Position = owned_attr(ledger, "Position");
    g.Order = owned_attr(ledger, "Order");
    g.Trade = owned_attr(ledger, "Trade");
    g.LiveMap = owned_attr(ledger, "LiveMap");
    g.empty_position = owned_attr(ledger, "empty_position");
    g.TradingResult = owned_attr(ledger, "TradingResult");
    g.TradingGuard = owned_attr(ledger, "TradingGuard");
    m.attr("Account") = nb::handle(g.Account);
    m.attr("Position") = nb::handle(g.Position);
    m.attr("Order") = nb::handle(g.Order);
    m.attr("Trade") = nb::handle(g.Trade);
    m.attr("LiveMap") = nb::handle(g.LiveMap);
    m.attr("empty_position") = nb::handle(g.empty_position);
    m.attr("TradingResult") = nb::handle(g.TradingResult);
    g.ledger = torvo::import_ledger_api();
    if (g.ledger == nullptr) throw nb::python_error();
    PyObject *published[] = {g.Account, g.Position, g.Order, g.Trade};
    for (int i = 0; i < 4; ++i) {
        nb::object declared = check(PySequence_Tuple(nb::handle(published[i]).attr("fields").ptr()));
        g.view_fields[i] = {reinterpret_cast<PyTypeObject *>(published[i]), keys_of(declared).release().ptr(),
                            declared.release().ptr()};
    }

    nb::object hours = datetime.attr("timedelta")("hours"_a = 8);
    g.TZ = datetime.attr("timezone")(hours).release().ptr();
    m.attr("TZ") = nb::handle(g.TZ);

    g.QUERY = dict_of({{"instruments", "QryInstrument"},
                       {"orders", "QryOrder"},
                       {"trades_before", "QryTrade"},
                       {"positions", "QryInvestorPosition"},
                       {"trades_after", "QryTrade"},
                       {"account", "QryTradingAccount"}});
    m.attr("QUERY") = nb::handle(g.QUERY);
    g.SYNC_STEPS = check(PySequence_Tuple(g.QUERY)).release().ptr();
    m.attr("SYNC_STEPS") = nb::handle(g.SYNC_STEPS);
    g.PHASE_LABELS = dict_of({{"authenticate", "认证"}, {"login", "登录"}, {"settlement", "结算单确认"}});
    m.attr("PHASE_LABELS") = nb::handle(g.PHASE_LABELS);
    g.QUERY_LABELS = dict_of({{"instruments", "合约"},
                              {"orders", "订单"},
                              {"trades_before", "首次成交"},
                              {"positions", "持仓"},
                              {"trades_after", "复查成交"},
                              {"account", "资金"}});
    m.attr("QUERY_LABELS") = nb::handle(g.QUERY_LABELS);
    g.ACCOUNT_FIELDS = dict_of({{"balance", "Balance"},
                                {"available", "Available"},
                                {"margin", "CurrMargin"},
                                {"frozen_margin", "FrozenMargin"},
                                {"commission", "Commission"},
                                {"frozen_commission", "FrozenCommission"},
                                {"close_profit", "CloseProfit"},
                                {"position_profit", "PositionProfit"},
                                {"deposit", "Deposit"},
                                {"withdraw", "Withdraw"}});
    m.attr("ACCOUNT_FIELDS") = nb::handle(g.ACCOUNT_FIELDS);
    // Values are the interned offset words, so the readers hand out the
    // very objects of the table.
    nb::object by_flag = check(PyDict_New());
    const std::pair<const char *, PyObject *> flags[] = {
        {"0", names.OPEN}, {"1", names.CLOSE}, {"3", names.CLOSE_TODAY}, {"4", names.CLOSE_YESTERDAY}};
    nb::object by_offset = check(PyDict_New());
    for (auto [flag, offset] : flags) {
        nb::object key = check(PyUnicode_FromString(flag));
        if (PyDict_SetItem(by_flag.ptr(), key.ptr(), offset) < 0) throw nb::python_error();
    }
    // The inverse, built from the table by swapping key and value.
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(by_flag.ptr(), &pos, &key, &value))
        if (PyDict_SetItem(by_offset.ptr(), value, key) < 0) throw nb::python_error();
    g.OFFSET_BY_FLAG = by_flag.release().ptr();
    g.FLAG_BY_OFFSET = by_offset.release().ptr();
    m.attr("OFFSET_BY_FLAG") = nb::handle(g.OFFSET_BY_FLAG);
    m.attr("FLAG_BY_OFFSET") = nb::handle(g.FLAG_BY_OFFSET);

    g.timestamp_format = intern("%Y%m%d%H:%M:%S");
    g.thousand = check(PyLong_FromLong(1000)).release().ptr();
    g.zero = check(PyLong_FromLong(0)).release().ptr();
    g.one = check(PyLong_FromLong(1)).release().ptr();
    g.max_volume = check(PyLong_FromLong(2147483647)).release().ptr();
    g.generic_error = intern("交易连接不可用，请检查账户配置或稍后重新连接。");

    m.def("timestamp", &timestamp, "day"_a.none(), "clock"_a.none(),
          nb::sig("def timestamp(day: str, clock: str) -> int | None"),
          "Vendor date (YYYYMMDD) and time (HH:MM:SS), read as UTC+8, in epoch "
          "milliseconds; None when they do not parse.");
    m.def("finite", &finite, "value"_a.none(), nb::sig("def finite(value: object) -> int | float | None"),
          "The value itself when it is a finite int or float of magnitude below 1e100, "
          "else None.");
    m.def("local_order_id", &local_order_id, "front"_a.none(), "session"_a.none(), "order_ref"_a.none(),
          nb::sig("def local_order_id(front: object, session: object, order_ref: object) -> str"),
          "Local order id: front, session and order reference joined with ':'.");
    m.def("order_offset", &order_offset, "value"_a.none(),
          nb::sig("def order_offset(value: object) -> str"),
          "Order offset word of a vendor offset flag (its first character); 'CLOSE' "
          "for anything unknown.");
}

}  // namespace torvo::trading
