// What the module keeps per interpreter: its types and fractions.Fraction.
#pragma once

#include "lorvex/capi/ref.hpp"

namespace lorvex::container {

struct ModuleState {
    PyObject* fraction;
    PyTypeObject* container_type;
    PyTypeObject* streams_type;
    PyTypeObject* stream_type;
    PyTypeObject* packet_type;
    PyTypeObject* demuxer_type;
};

inline ModuleState& module_state(PyObject* module) noexcept {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module that defined the type of `object`.
inline ModuleState& state_of(PyObject* object) noexcept {
    return *static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(object)));
}

}  // namespace lorvex::container
