#include "lorvex/tandry/namespace.hpp"

namespace lorvex::tandry {

py::Ref global(PyObject* module, const char* name) {
    // Looked up afresh at every call: a cached value would have to follow every change of
    // the module dict, and the lookup is cheap next to what the callers do with the value.
    py::Ref key = py::check(PyUnicode_InternFromString(name));
    if (PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), key.get())) {
        return py::Ref::borrow(value);
    }
    if (PyErr_Occurred()) py::throw_error_set();

    py::Ref builtins = module_data(module).builtins_module;
    if (PyObject* value = PyObject_GetAttrString(builtins.get(), name))
        return py::Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_error_set();
    PyErr_Clear();
    py::Ref text = py::check(PyUnicode_FromString(name));
    py::raise(PyExc_NameError, "name '%U' is not defined", text.get());
}

py::Ref builtin(PyObject* module, Builtin which) {
    const py::Ref& value = module_data(module).builtins[static_cast<std::size_t>(which)];
    if (!value) py::raise(PyExc_SystemError, "lorvex.tandry: builtin missing after teardown");
    return value;
}

}  // namespace lorvex::tandry
