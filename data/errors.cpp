// ExError: the package's exception for failed service calls and invalid
// data.  A heap type deriving from Exception whose initialiser checks its
// arguments, passes only the message to the base class (so `args` is
// `(message,)`) and keeps the optional status code as the instance attribute
// `status`.
#include "data.h"

#include "common/errors.h"

namespace torvo::data {
namespace {

PyObject *g_type = nullptr;  // the class; lives until the process ends
Interned g_status;

const char kDoc[] =
    "ExError(message, status=None)\n--\n\n"
    "SDK 数据或交易服务异常，status 为可选的响应状态码。";

// The type's own name ("int", "Quote"), for messages; null on failure.
Ref type_name(PyObject *value) { return Ref::steal(PyType_GetName(Py_TYPE(value))); }

bool is_numeric(PyObject *value) {
    PyNumberMethods *number = Py_TYPE(value)->tp_as_number;
    return number != nullptr &&
           (number->nb_int != nullptr || number->nb_index != nullptr || number->nb_float != nullptr);
}

int ex_error_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"message", "status", nullptr};
    PyObject *message = nullptr;
    PyObject *status = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:ExError", const_cast<char **>(keywords),
                                     &message, &status))
        return -1;
    if (!PyUnicode_CheckExact(message)) {
        Ref given = type_name(message);
        if (given)
            (void)errors::set_error(PyExc_TypeError,
                                    "ExError() argument 'message' must be str, not %U", given.get());
        return -1;
    }
    Ref code;
    if (status == Py_None || PyLong_CheckExact(status)) {
        code = Ref::borrow(status);
    } else if (is_numeric(status)) {
        code = Ref::steal(PyNumber_Long(status));
        if (!code) return -1;
    } else {
        Ref given = type_name(status);
        if (given)
            (void)errors::set_error(PyExc_TypeError,
                                    "ExError() argument 'status' must be int or None, not %U",
                                    given.get());
        return -1;
    }
    Ref base_args = Ref::steal(PyTuple_Pack(1, message));
    if (!base_args) return -1;
    if (reinterpret_cast<PyTypeObject *>(PyExc_Exception)->tp_init(self, base_args.get(), nullptr) < 0)
        return -1;
    return PyObject_SetAttr(self, g_status, code.get());
}

PyTypeObject *exception_base() { return reinterpret_cast<PyTypeObject *>(PyExc_Exception); }

// Instances of a heap type hold a reference to it: the collector must see
// it, and the last instance must give it back.
int ex_error_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    return exception_base()->tp_traverse(self, visit, arg);
}

int ex_error_clear(PyObject *self) { return exception_base()->tp_clear(self); }

void ex_error_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    exception_base()->tp_dealloc(self);
    Py_DECREF(type);
}

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char *>(kDoc)},
    {Py_tp_init, reinterpret_cast<void *>(ex_error_init)},
    {Py_tp_traverse, reinterpret_cast<void *>(ex_error_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(ex_error_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(ex_error_dealloc)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "torvo.data.ExError",
    0,  // the base exception's layout, instance dictionary included
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    g_slots,
};

}  // namespace

bool init_errors(PyObject *module) {
    if (!g_status.init("status")) return false;
    if (g_type == nullptr) {
        g_type = PyType_FromSpecWithBases(&g_spec, PyExc_Exception);
        if (g_type == nullptr) return false;
    }
    return PyModule_AddObjectRef(module, "ExError", g_type) == 0;
}

void set_raised(Ref error) { errors::give(error.release()); }

Ref take_raised() { return Ref::steal(errors::take()); }

PyObject *ex_error_type() { return g_type; }


}  // namespace torvo::data
