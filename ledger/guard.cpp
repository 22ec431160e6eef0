// TradingGuard: the limits a trading session enforces before an order or a
// cancel leaves, a frozen dataclass like CtpAccount, checked after
// construction.
#include "ledger.h"

#include <nanobind/nanobind.h>

#include <array>

#include "common/errors.h"
#include "common/intern.h"
#include "common/ref.h"

namespace nb = nanobind;

namespace torvo::ledger {
namespace {

PyObject *g_guard = nullptr;

// The fields after `self_trade`, each an int of at least 1 or None, in the
// order the check reports them.
constexpr std::array<const char *, 9> kLimitFields = {
    "max_cancels",  "max_orders_per_second", "max_lots",    "repeat_ms",     "warn_orders",
    "warn_cancels", "warn_cancelled",        "warn_trades", "warn_refused",
};
std::array<Interned, kLimitFields.size()> s_limit_fields;
Interned s_self_trade;

const char kGuardDoc[] =
    "交易风控限额；每项为 None 表示不限制。被拒绝的报单或撤单返回 REJECTED，不登记、不发送。\n\n"
    "    Args:\n"
    "        self_trade: 为 True 时拒绝可能与本会话同合约反方向挂单成交的报单。\n"
    "        max_cancels: 每个合约每个交易日的撤单次数上限。\n"
    "        max_orders_per_second: 每秒报单笔数上限。\n"
    "        max_lots: 单笔报单手数上限。\n"
    "        repeat_ms: 拒绝与该毫秒数内已发送报单相同（合约、方向、开平、价格、手数）的报单。\n"
    "        warn_orders: 每合约报单笔数的预警阈值。\n"
    "        warn_cancels: 每合约撤单次数的预警阈值。\n"
    "        warn_cancelled: 每合约已撤订单数的预警阈值。\n"
    "        warn_trades: 每合约成交笔数的预警阈值。\n"
    "        warn_refused: 每合约风控拒单次数的预警阈值。\n"
    "    ";

// self_trade must be a bool; every limit an int (not a bool) of at least 1,
// or None.
PyObject *guard_post_init(PyObject *self, PyObject *) {
    Ref flag = Ref::steal(PyObject_GetAttr(self, s_self_trade));
    if (!flag) return nullptr;
    if (!PyBool_Check(flag.get())) return errors::set_error(PyExc_ValueError, "self_trade 必须是 bool");
    for (size_t i = 0; i < kLimitFields.size(); ++i) {
        Ref value = Ref::steal(PyObject_GetAttr(self, s_limit_fields[i]));
        if (!value) return nullptr;
        PyObject *v = value.get();
        if (v == Py_None) continue;
        bool valid = PyLong_Check(v) && !PyBool_Check(v);
        if (valid) {
            int overflow = 0;
            long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (n == -1 && PyErr_Occurred()) return nullptr;
            valid = overflow == 0 && n >= 1 && n <= 2147483647;
        }
        if (!valid)  // the format stays ASCII, as the host's formatter requires
            return errors::set_error(PyExc_ValueError, "%s%s", kLimitFields[i],
                                     " 必须是 1 到 2147483647 之间的 int 或 None");
    }
    Py_RETURN_NONE;
}

PyMethodDef guard_post_init_def = {
    "__post_init__", guard_post_init, METH_NOARGS,
    "构造后检查：self_trade 必须是 bool，其余各项必须是 1 到 2147483647 之间的 int 或 None。",
};

}  // namespace

PyObject *trading_guard_type() {
    if (g_guard != nullptr) return g_guard;
    if (!s_self_trade.init("self_trade")) throw nb::python_error();
    for (size_t i = 0; i < kLimitFields.size(); ++i)
        if (!s_limit_fields[i].init(kLimitFields[i])) throw nb::python_error();
    nb::object int_opt = nb::steal(PyNumber_Or(reinterpret_cast<PyObject *>(&PyLong_Type), Py_None));
    if (!int_opt) throw nb::python_error();
    nb::dict annotations;
    annotations["self_trade"] = nb::handle(reinterpret_cast<PyObject *>(&PyBool_Type));
    for (const char *name : kLimitFields) annotations[name] = int_opt;
    nb::dict ns;
    ns["__module__"] = "torvo.ledger";
    ns["__qualname__"] = "TradingGuard";
    ns["__doc__"] = nb::str(kGuardDoc);
    ns["__annotations__"] = annotations;
    ns["self_trade"] = nb::bool_(false);
    for (const char *name : kLimitFields) ns[name] = nb::none();
    nb::object cls = nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))("TradingGuard", nb::tuple(), ns);
    nb::object check = nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(cls.ptr()), &guard_post_init_def));
    if (!check) throw nb::python_error();
    cls.attr("__post_init__") = check;
    nb::dict options;
    options["frozen"] = true;
    options["kw_only"] = true;
    g_guard = nb::module_::import_("dataclasses").attr("dataclass")(**options)(cls).release().ptr();
    return g_guard;
}

}  // namespace torvo::ledger
