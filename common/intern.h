// Interned strings for fixed dictionary keys, status words and attribute
// names.  Each is made once, when its module initialises, and lives for the
// rest of the process: the tables of a module are never torn down while code
// that reads them can still run.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace torvo {

class Interned {
public:
    // Fills the handle; false with a Python exception set on failure.
    bool init(const char *utf8) noexcept {
        if (ptr_ == nullptr) ptr_ = PyUnicode_InternFromString(utf8);
        return ptr_ != nullptr;
    }
    // Borrowed reference.
    PyObject *get() const noexcept { return ptr_; }
    operator PyObject *() const noexcept { return ptr_; }

private:
    PyObject *ptr_ = nullptr;
};

}  // namespace torvo
