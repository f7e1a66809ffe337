#include "lorvex/tandry/surface/namespace.hpp"

namespace lorvex::tandry {

py::Ref global(PyObject* module, Global name) {
    // Looked up afresh at every call: a cached value would have to follow every change of
    // the module dict, and the lookup of an interned key is cheap next to what the callers
    // do with the value.
    ModuleState& state = module_state(module);
    PyObject* key = state.global_names[static_cast<std::size_t>(name)].get();
    if (key == nullptr) py::raise(PyExc_SystemError, "lorvex.tandry: names missing after teardown");
    if (PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), key)) {
        return py::Ref::borrow(value);
    }
    if (PyErr_Occurred()) py::throw_error_set();

    if (!state.builtins_module) py::raise(PyExc_NameError, "name '%U' is not defined", key);
    if (PyObject* value = PyObject_GetAttr(state.builtins_module.get(), key)) {
        return py::Ref::steal(value);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_error_set();
    PyErr_Clear();
    py::raise(PyExc_NameError, "name '%U' is not defined", key);
}

py::Ref builtin(PyObject* module, Builtin which) {
    const py::Ref& value = module_state(module).builtins[static_cast<std::size_t>(which)];
    if (!value) py::raise(PyExc_SystemError, "lorvex.tandry: builtin missing after teardown");
    return value;
}

}  // namespace lorvex::tandry
