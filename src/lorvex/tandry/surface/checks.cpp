#include "lorvex/tandry/surface/checks.hpp"

#include "lorvex/tandry/surface/namespace.hpp"

namespace lorvex::tandry {

bool assertions_enabled() noexcept {
    // sys.flags.optimize is how the interpreter's -O reaches code: assertions run at 0.
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (flags == nullptr) return true;
    const py::Ref level = py::Ref::steal(PyObject_GetAttrString(flags, "optimize"));
    if (!level) {
        PyErr_Clear();
        return true;
    }
    const long optimize = PyLong_AsLong(level.get());
    if (optimize == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return optimize == 0;
}

void fail_assertion(PyObject* module, const char* message) {
    py::Ref error_type = builtin(module, Builtin::AssertionError);
    if (message == nullptr) {
        PyErr_SetNone(error_type.get());
    } else {
        PyErr_SetString(error_type.get(), message);
    }
    py::throw_error_set();
}

void expect_exact(PyObject* value, PyTypeObject* type, bool none_allowed) {
    if (Py_IS_TYPE(value, type) || (none_allowed && value == Py_None)) return;
    py::raise(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(value)->tp_name);
}

}  // namespace lorvex::tandry
