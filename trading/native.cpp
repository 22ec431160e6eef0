// Native: binds the bridge module lazily (so that `torvo.trading` imports even
// where the bridge cannot load), opens one bridge session and forwards
// request, poll and close to it.
#include "native.h"

#include "common/errors.h"
#include "py.h"

using namespace nanobind::literals;

namespace torvo::trading {

namespace {

PyTypeObject *native_type = nullptr;  // set by bind_native

const char kMissingBridge[] = "CTP 原生模块不可用，请安装适用于当前 64 位平台的 torvo wheel";

// `from . import _relay`; a module placed in sys.modules is the one taken.
nb::object import_bridge() {
    PyObject *module = PyImport_Import(g.bridge_name);
    if (module != nullptr) return nb::steal(module);
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw nb::python_error();
    errors::throw_error_from_current(g.ExError, kMissingBridge);
}

// str(directory) + os.sep, encoded as the vendor wants the path.
nb::object flow_path(nb::handle directory) {
    nb::object os = module_attr(names.os);
    nb::object path = check(PyNumber_Add(check(PyObject_Str(directory.ptr())).ptr(), attr(os, names.sep).ptr()));
    if (equals_text(attr(os, names.name), names.nt)) return attr(path, names.encode)(nb::handle(names.mbcs));
    return attr(os, names.fsencode)(path);
}

}  // namespace

Native::Native(nb::handle config, nb::handle directory) {
    module_ = import_bridge();
    nb::object path = flow_path(directory);
    handle_ = attr(module_, names.create)(attr(config, names.front_url), path);
}

void Native::set_module(nb::object module) {
    module_ = std::move(module);
    request_fn_.reset();
    poll_fn_.reset();
    close_fn_.reset();
}

nb::handle Native::fn(nb::object &cache, PyObject *name) {
    if (!cache.is_valid()) cache = attr(module_, name);
    return cache;
}

nb::object Native::request(nb::handle method, nb::handle data, nb::handle request_id) {
    PyObject *args[] = {handle_.ptr(), method.ptr(), data.ptr(), request_id.ptr()};
    return check(PyObject_Vectorcall(fn(request_fn_, names.request).ptr(), args, 4, nullptr));
}

nb::object Native::poll() {
    return check(PyObject_CallOneArg(fn(poll_fn_, names.poll).ptr(), handle_.ptr()));
}

nb::object Native::wakeup() {
    nb::object fn = nb::steal(PyObject_GetAttr(module_.ptr(), names.wakeup));
    if (!fn.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        return nb::none();
    }
    return check(PyObject_CallOneArg(fn.ptr(), handle_.ptr()));
}

void Native::close() { check(PyObject_CallOneArg(fn(close_fn_, names.close).ptr(), handle_.ptr())); }

Native *exact_native(nb::handle obj) {
    return Py_TYPE(obj.ptr()) == native_type ? nb::inst_ptr<Native>(obj) : nullptr;
}

int Native::tp_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    Native *n = nb::inst_ptr<Native>(self);
#define TORVO_VISIT_REF(member, cleared) Py_VISIT(n->member.ptr());
    TORVO_NATIVE_REFS(TORVO_VISIT_REF)
#undef TORVO_VISIT_REF
    return 0;
}

int Native::tp_clear(PyObject *self) {
    if (!nb::inst_ready(self)) return 0;
    Native *n = nb::inst_ptr<Native>(self);
    // A value of the member's own kind rather than null where a method may
    // still read it (None for the module and the handle).
#define TORVO_CLEAR_REF(member, cleared) n->member = cleared;
    TORVO_NATIVE_REFS(TORVO_CLEAR_REF)
#undef TORVO_CLEAR_REF
    return 0;
}

void bind_native(nb::module_ &m) {
    static PyType_Slot slots[] = {
        {Py_tp_traverse, (void *)&Native::tp_traverse},
        {Py_tp_clear, (void *)&Native::tp_clear},
        {0, nullptr},
    };
    nb::class_<Native> cls(m, "Native", nb::type_slots(slots),
                           "One bridge session: opened on construction, then request, poll and close.");
    native_type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    cls.def(nb::init<nb::handle, nb::handle>(), "config"_a.none(), "directory"_a.none(),
            nb::sig("def __init__(self, config: CtpAccount, directory: str | os.PathLike[str]) -> None"))
        .def_prop_rw("module", &Native::module, &Native::set_module)
        .def_prop_rw("handle", &Native::handle, &Native::set_handle)
        .def("request", &Native::request, "method"_a.none(), "data"_a.none(), "request_id"_a.none(),
             nb::sig("def request(self, method: str, data: dict[str, str | int | float], "
                     "request_id: int) -> int"))
        .def("poll", &Native::poll, nb::sig("def poll(self) -> list[dict[str, object]]"))
        .def("wakeup", &Native::wakeup, nb::sig("def wakeup(self) -> socket.socket | None"),
             "The socket the bridge writes into when events arrive; None without a wake-up.")
        .def("close", &Native::close);
}

}  // namespace torvo::trading
