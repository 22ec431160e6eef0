// Argument parsing for the module's two fast-call functions with the shape
// `f(first, second=None)`: LiveMap.get and empty_position.
#include "ledger.h"

namespace torvo::ledger {

bool parse_one_or_two(const CallShape &shape, PyObject *const *args, size_t nargsf,
                      PyObject *kwnames, PyObject **first, PyObject **second) {
    Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (given > 2) {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zd to %zd positional arguments but %zd were given",
                     shape.function, 1 + shape.self_count, 2 + shape.self_count,
                     given + shape.self_count);
        return false;
    }
    *first = given > 0 ? args[0] : nullptr;
    if (given > 1) *second = args[1];
    bool second_given = given > 1;
    Py_ssize_t named = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < named; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        bool is_first = name == shape.first || PyUnicode_Compare(name, shape.first) == 0;
        bool is_second = !is_first &&
                         (name == shape.second || PyUnicode_Compare(name, shape.second) == 0);
        if (!is_first && !is_second) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         shape.function, name);
            return false;
        }
        if (is_first ? *first != nullptr : second_given) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         shape.function, name);
            return false;
        }
        if (is_first) {
            *first = args[given + i];
        } else {
            *second = args[given + i];
            second_given = true;
        }
    }
    if (*first == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%U'",
                     shape.function, shape.first);
        return false;
    }
    return true;
}

}  // namespace torvo::ledger
