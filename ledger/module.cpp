// Module `torvo.ledger`: account configuration and the read-only views that
// the trading session publishes to the user.
//
// Besides the Python names, the module publishes a torvo::LedgerApi in the
// capsule attribute `_api`, through which C++ code reaches the dictionaries
// behind records and maps without attribute look-ups.
#include "ledger.h"

#include <nanobind/nanobind.h>

#include "common/ledger_api.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace torvo::ledger {
namespace {

PyObject *api_values(PyObject *record) {
    return reinterpret_cast<LiveObjectData *>(record)->values;
}
PyObject *api_data(PyObject *map) { return reinterpret_cast<LiveMapData *>(map)->data; }
PyObject *api_item_type(PyObject *map) {
    return reinterpret_cast<LiveMapData *>(map)->item_type;
}

LedgerApi g_api = {kLedgerApiVersion, nullptr, nullptr, api_values, api_data, api_item_type};

constexpr const char *kRecordNames[kRecordTypes] = {"Account", "Position", "Order", "Trade"};

const char kModuleDoc[] =
    "交易记录：CTP 账户配置、提交结果，以及交易会话发布给用户的只读资金、持仓、订单和成交视图。";

const char kEmptyPositionDoc[] =
    "返回一个新的空白持仓状态字典：internal_fields 中的各数量按顺序为 None"
    "（updated_at 为 None 时）或 0，随后是 symbol 和 updated_at。";

}  // namespace
}  // namespace torvo::ledger

NB_MODULE(ledger, m) {
    using namespace torvo::ledger;
    m.doc() = kModuleDoc;

    m.attr("CtpAccount") = nb::borrow(ctp_account_type());
    PyTypeObject *live = live_object_type();
    m.attr("LiveObject") = nb::borrow(reinterpret_cast<PyObject *>(live));
    PyTypeObject *map = live_map_type();
    m.attr("LiveMap") = nb::borrow(reinterpret_cast<PyObject *>(map));
    for (int i = 0; i < kRecordTypes; ++i) m.attr(kRecordNames[i]) = nb::borrow(record_type(i));
    m.attr("TradingResult") = nb::borrow(trading_result_type());
    m.attr("internal_fields") = nb::steal(internal_fields_list());

    m.def(
        "empty_position",
        [](nb::handle symbol, nb::handle updated_at) {
            PyObject *position = empty_position(symbol.ptr(), updated_at.ptr());
            if (position == nullptr) throw nb::python_error();
            return nb::steal<nb::dict>(position);
        },
        "symbol"_a, "updated_at"_a = nb::none(),
        nb::sig("def empty_position(symbol: str, updated_at: int | None = None) -> dict"),
        kEmptyPositionDoc);

    g_api.live_object_type = live;
    g_api.live_map_type = map;
    nb::object capsule = nb::steal(
        PyCapsule_New(&g_api, torvo::kLedgerApiCapsule, nullptr));
    if (!capsule) throw nb::python_error();
    m.attr("_api") = capsule;
}
