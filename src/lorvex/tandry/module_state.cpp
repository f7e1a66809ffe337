#include "lorvex/tandry/module_state.hpp"

namespace lorvex::tandry {

ModuleState& module_state(PyObject* module) {
    void* state = PyModule_GetState(module);
    if (state == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "lorvex.tandry: no module state");
        py::throw_error_set();
    }
    return *static_cast<ModuleState*>(state);
}

ModuleData& module_data(PyObject* module) {
    ModuleData* data = module_state(module).data;
    if (data == nullptr) py::raise(PyExc_SystemError, "lorvex.tandry: module is not initialised");
    return *data;
}

}  // namespace lorvex::tandry
