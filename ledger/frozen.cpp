// The two immutable records, CtpAccount and TradingResult: real frozen
// dataclasses, made by passing plain classes through `dataclasses.dataclass`
// when the module initialises.  The account's post-construction check is a
// method written here.
#include "ledger.h"

#include <nanobind/nanobind.h>

#include <array>

#include "common/errors.h"
#include "common/intern.h"
#include "common/ref.h"

namespace nb = nanobind;

namespace torvo::ledger {
namespace {

PyObject *g_account = nullptr;
PyObject *g_result = nullptr;

// Account fields in declaration order, which is also the order the check
// reports them in.
constexpr std::array<const char *, 6> kAccountFields = {
    "broker_id", "user_id", "password", "front_url", "app_id", "auth_code",
};
constexpr size_t kFrontUrl = 3;
std::array<Interned, kAccountFields.size()> s_account_fields;
Interned s_tcp;

const char kAccountDoc[] =
    "CTP 直连账户配置，交易凭据不会发送至行情服务。\n\n"
    "    Args:\n"
    "        broker_id: 期货公司代码。\n"
    "        user_id: 资金账号。\n"
    "        password: 交易密码。\n"
    "        front_url: 交易前置地址，格式为 tcp://地址:端口。\n"
    "        app_id: 期货公司提供的客户端标识。\n"
    "        auth_code: 期货公司提供的客户端授权码。\n"
    "    ";

const char kResultDoc[] = "一次交易操作的即时提交结果；不是最终委托或撤单结果。";

// Every field must be a non-empty str without NUL; the first offending field
// in declaration order is reported.  Then the front address must use tcp.
PyObject *account_post_init(PyObject *self, PyObject *) {
    Ref front_url;
    for (size_t i = 0; i < kAccountFields.size(); ++i) {
        Ref value = Ref::steal(PyObject_GetAttr(self, s_account_fields[i]));
        if (!value) return nullptr;
        PyObject *text = value.get();
        bool valid = PyUnicode_Check(text) && PyUnicode_GET_LENGTH(text) > 0;
        if (valid) {
            Py_ssize_t nul = PyUnicode_FindChar(text, 0, 0, PyUnicode_GET_LENGTH(text), 1);
            if (nul == -2) return nullptr;
            valid = nul < 0;
        }
        if (!valid)  // the format stays ASCII, as the host's formatter requires
            return errors::set_error(PyExc_ValueError, "%s%s", kAccountFields[i],
                                     " 必须是非空字符串，且不能包含 NUL 字符");
        if (i == kFrontUrl) front_url = std::move(value);
    }
    Py_ssize_t tcp = PyUnicode_Tailmatch(front_url.get(), s_tcp, 0, PY_SSIZE_T_MAX, -1);
    if (tcp < 0) return nullptr;
    if (tcp == 0) return errors::set_error(PyExc_ValueError, "front_url 必须以 tcp:// 开头");
    Py_RETURN_NONE;
}

PyMethodDef account_post_init_def = {
    "__post_init__", account_post_init, METH_NOARGS,
    "构造后检查：六个字段都必须是非空且不含 NUL 的字符串，front_url 必须以 tcp:// 开头。",
};

nb::object frozen_dataclass(nb::handle cls) {
    nb::object dataclass = nb::module_::import_("dataclasses").attr("dataclass");
    nb::dict options;
    options["frozen"] = true;
    return dataclass(**options)(cls);
}

nb::object plain_class(const char *name, const char *doc, nb::dict annotations) {
    nb::dict ns;
    ns["__module__"] = "torvo.ledger";
    ns["__qualname__"] = name;
    ns["__doc__"] = nb::str(doc);
    ns["__annotations__"] = annotations;
    return nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))(name, nb::tuple(), ns);
}

}  // namespace

PyObject *ctp_account_type() {
    if (g_account != nullptr) return g_account;
    for (size_t i = 0; i < kAccountFields.size(); ++i) {
        if (!s_account_fields[i].init(kAccountFields[i])) throw nb::python_error();
    }
    if (!s_tcp.init("tcp://")) throw nb::python_error();
    nb::handle str_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    nb::dict annotations;
    for (const char *name : kAccountFields) annotations[name] = str_type;
    nb::object cls = plain_class("CtpAccount", kAccountDoc, annotations);

    // The password and the authorisation code stay out of the repr but take
    // part in equality and hashing.
    nb::object field = nb::module_::import_("dataclasses").attr("field");
    nb::dict hidden;
    hidden["repr"] = false;
    cls.attr("password") = field(**hidden);
    cls.attr("auth_code") = field(**hidden);

    nb::object check = nb::steal(
        PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(cls.ptr()), &account_post_init_def));
    if (!check) throw nb::python_error();
    cls.attr("__post_init__") = check;

    g_account = frozen_dataclass(cls).release().ptr();
    return g_account;
}

PyObject *trading_result_type() {
    if (g_result != nullptr) return g_result;
    nb::object literal = nb::module_::import_("typing").attr("Literal");
    nb::dict annotations;
    annotations["status"] = literal[nb::make_tuple("SUBMITTED", "REJECTED", "UNKNOWN")];
    nb::object str_opt = nb::steal(
        PyNumber_Or(reinterpret_cast<PyObject *>(&PyUnicode_Type), Py_None));
    if (!str_opt) throw nb::python_error();
    annotations["order_id"] = str_opt;
    annotations["message"] = nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    nb::object cls = plain_class("TradingResult", kResultDoc, annotations);
    cls.attr("message") = nb::str("");
    g_result = frozen_dataclass(cls).release().ptr();
    return g_result;
}

}  // namespace torvo::ledger
