#include "lorvex/tandry/checks.hpp"

#include "lorvex/tandry/namespace.hpp"

namespace lorvex::tandry {

bool assertions_enabled() noexcept {
    // Py_OptimizeFlag mirrors the interpreter's -O setting in the versions we build for.
    _Py_COMP_DIAG_PUSH _Py_COMP_DIAG_IGNORE_DEPR_DECLS return Py_OptimizeFlag == 0;
    _Py_COMP_DIAG_POP
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
