// The four record types Account, Position, Order and Trade.  Each is an
// ordinary Python class deriving from LiveObject (made by calling `type`),
// with `__slots__ = ()`, its docstring, annotations for type checkers and the
// class attribute `fields`; users may subclass them like any Python class.
#include "common/errors.h"
#include "ledger.h"

#include <nanobind/nanobind.h>

#include <array>
#include <string_view>

namespace nb = nanobind;

namespace torvo::ledger {
namespace {

// Field lists: "name:kind" separated by spaces, where kind is the
// annotation: s = str | None, S = str, f = float | None, i = int | None,
// b = bool, L = the order status literal | None.
struct RecordDef {
    const char *name;
    const char *doc;
    const char *fields;
};

constexpr std::array<RecordDef, kRecordTypes> kRecords = {{
    {"Account",
     "只读资金快照；金额单位为人民币元，未知字段为 None。\n\n"
     "    金额仅由完整柜台查询更新，不根据行情或成交估算；交易日来自登录回报。\n    ",
     "account_id:s trading_day:s balance:f available:f margin:f frozen_margin:f "
     "commission:f frozen_commission:f close_profit:f position_profit:f deposit:f "
     "withdraw:f updated_at:i"},
    {"Position",
     "只读持仓快照；数量单位为手。\n\n"
     "    登录查询建立基线，之后根据真实成交本地更新；未知数量为 None。\n    ",
     "symbol:S pos_long:i pos_short:i pos_long_today:i pos_short_today:i "
     "available_long:i available_short:i"},
    {"Order",
     "只读订单快照；断线后观察句柄保留最后一次已提交的数据。",
     "order_id:S order_sys_id:s symbol:S direction:s offset:s limit_price:f "
     "volume_original:i volume_traded:i volume_left:i status:L status_msg:s "
     "cancel_pending:b cancel_error:s insert_time:i"},
    {"Trade",
     "只读真实成交快照，不包含估算手续费；断线后保留最后一次已提交的数据。",
     "trade_id:S order_sys_id:S symbol:S direction:s offset:s price:f volume:i "
     "trade_time:i"},
}};

std::array<PyObject *, kRecordTypes> g_records{};

nb::object optional(nb::handle type) {
    return nb::steal(PyNumber_Or(type.ptr(), Py_None));
}

// The annotation objects by kind letter.
struct Annotations {
    nb::object str_opt, str, float_opt, int_opt, boolean, status_opt;

    Annotations() {
        nb::handle str_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
        str_opt = optional(str_type);
        str = nb::borrow(str_type);
        float_opt = optional(nb::handle(reinterpret_cast<PyObject *>(&PyFloat_Type)));
        int_opt = optional(nb::handle(reinterpret_cast<PyObject *>(&PyLong_Type)));
        boolean = nb::borrow(reinterpret_cast<PyObject *>(&PyBool_Type));
        nb::object literal = nb::module_::import_("typing").attr("Literal");
        status_opt = optional(literal[nb::make_tuple("PENDING", "ALIVE", "FILLED",
                                                     "CANCELLED", "REJECTED")]);
        if (!str_opt || !float_opt || !int_opt || !status_opt) throw nb::python_error();
    }

    nb::handle of(char kind) const {
        switch (kind) {
            case 's': return str_opt;
            case 'S': return str;
            case 'f': return float_opt;
            case 'i': return int_opt;
            case 'b': return boolean;
            case 'L': return status_opt;
            default: errors::throw_error(PyExc_SystemError, "unknown annotation kind");
        }
    }
};

nb::object make_record(const RecordDef &def, const Annotations &kinds) {
    nb::list names;
    nb::dict annotations;
    std::string_view rest(def.fields);
    while (!rest.empty()) {
        size_t end = rest.find(' ');
        std::string_view item = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        size_t colon = item.find(':');
        nb::str name = nb::steal<nb::str>(
            PyUnicode_FromStringAndSize(item.data(), static_cast<Py_ssize_t>(colon)));
        if (!name) throw nb::python_error();
        PyObject *raw = name.release().ptr();
        PyUnicode_InternInPlace(&raw);
        name = nb::steal<nb::str>(raw);
        names.append(name);
        annotations[name] = kinds.of(item[colon + 1]);
    }
    nb::tuple fields = nb::steal<nb::tuple>(PyList_AsTuple(names.ptr()));
    if (!fields) throw nb::python_error();

    nb::dict ns;
    ns["__module__"] = "torvo.ledger";
    ns["__qualname__"] = def.name;
    ns["__doc__"] = nb::str(def.doc);
    ns["__slots__"] = nb::tuple();
    ns["__annotations__"] = annotations;
    ns["fields"] = fields;
    nb::handle base(reinterpret_cast<PyObject *>(live_object_type()));
    nb::handle type_type(reinterpret_cast<PyObject *>(&PyType_Type));
    nb::object type = type_type(def.name, nb::make_tuple(base), ns);
    add_blank_template(fields.ptr());
    return type;
}

}  // namespace

PyObject *record_type(int which) {
    if (g_records[0] == nullptr) {
        Annotations kinds;
        std::array<nb::object, kRecordTypes> made;
        for (int i = 0; i < kRecordTypes; ++i) made[i] = make_record(kRecords[i], kinds);
        for (int i = 0; i < kRecordTypes; ++i) g_records[i] = made[i].release().ptr();
    }
    return g_records[which];
}

}  // namespace torvo::ledger
