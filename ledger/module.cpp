// Module `torvo.ledger`: account configuration and the read-only views that
// the trading session publishes to the user.
//
// Besides the Python names, the module publishes a torvo::LedgerApi in the
// capsule attribute `_api`, through which C++ code reaches the dictionaries
// behind records and maps without attribute look-ups.
#include "ledger.h"

#include <nanobind/nanobind.h>

#include "common/errors.h"
#include "common/ledger_api.h"

namespace nb = nanobind;

namespace torvo::ledger {
namespace {

// Filled when the module initialises.
LedgerApi g_api = {};

// The API's accessors check the type first: a record made by a map's
// `item_type()` is whatever that callable returned.
bool is_instance(PyObject *object, PyTypeObject *type, const char *name) {
    if (PyObject_TypeCheck(object, type)) return true;
    return errors::set_error(PyExc_TypeError, "expected a %s, got %s", name, Py_TYPE(object)->tp_name);
}

PyObject *present(PyObject *field, const char *name) {
    if (field == nullptr) return errors::set_error(PyExc_ValueError, "%s has been cleared", name);
    return field;
}

PyObject *api_values(PyObject *record) {
    if (!is_instance(record, g_api.live_object_type, "LiveObject")) return nullptr;
    return present(reinterpret_cast<LiveObjectData *>(record)->values, "LiveObject");
}
PyObject *api_data(PyObject *map) {
    if (!is_instance(map, g_api.live_map_type, "LiveMap")) return nullptr;
    return present(reinterpret_cast<LiveMapData *>(map)->data, "LiveMap");
}
PyObject *api_item_type(PyObject *map) {
    if (!is_instance(map, g_api.live_map_type, "LiveMap")) return nullptr;
    return present(reinterpret_cast<LiveMapData *>(map)->item_type, "LiveMap");
}

constexpr const char *kRecordNames[kRecordTypes] = {"Account", "Position", "Order", "Trade"};

const char kModuleDoc[] =
    "交易记录：CTP 账户配置、提交结果，以及交易会话发布给用户的只读资金、持仓、订单和成交视图。";

}  // namespace
}  // namespace torvo::ledger

NB_MODULE(ledger, m) {
    using namespace torvo::ledger;
    m.doc() = kModuleDoc;

    // The names the module imports, bound as a Python module's imports are.
    nb::module_ abc = nb::module_::import_("collections.abc");
    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    nb::module_ typing = nb::module_::import_("typing");
    m.attr("Mapping") = abc.attr("Mapping");
    m.attr("dataclass") = dataclasses.attr("dataclass");
    m.attr("field") = dataclasses.attr("field");
    m.attr("TYPE_CHECKING") = typing.attr("TYPE_CHECKING");
    m.attr("Literal") = typing.attr("Literal");

    m.attr("CtpAccount") = nb::borrow(ctp_account_type());
    PyTypeObject *live = live_object_type();
    m.attr("LiveObject") = nb::borrow(reinterpret_cast<PyObject *>(live));
    PyTypeObject *map = live_map_type();
    m.attr("LiveMap") = nb::borrow(reinterpret_cast<PyObject *>(map));
    for (int i = 0; i < kRecordTypes; ++i) m.attr(kRecordNames[i]) = nb::borrow(record_type(i));
    m.attr("TradingResult") = nb::borrow(trading_result_type());
    m.attr("TradingGuard") = nb::borrow(trading_guard_type());
    m.attr("internal_fields") = nb::steal(internal_fields_list());

    if (PyModule_AddFunctions(m.ptr(), position_functions) < 0) throw nb::python_error();

    g_api = {torvo::kLedgerApiVersion, live, map, api_values, api_data, api_item_type};
    nb::object capsule = nb::steal(
        PyCapsule_New(&g_api, torvo::kLedgerApiCapsule, nullptr));
    if (!capsule) throw nb::python_error();
    m.attr("_api") = capsule;
}
