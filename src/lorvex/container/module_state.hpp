// What the module keeps per interpreter: its types, fractions.Fraction, and the probes and
// frame tables this process made.
#pragma once

#include "lorvex/capi/ref.hpp"
#include "lorvex/container/source.hpp"

namespace lorvex::container {

struct ModuleState {
    // False until the module is executed, which builds the state in its zeroed slot.
    bool executed;
    PyObject* fraction;
    PyTypeObject* container_type;
    PyTypeObject* streams_type;
    PyTypeObject* stream_type;
    PyTypeObject* packet_type;
    PyTypeObject* demuxer_type;
    // One probe per file and process, whichever of the module's functions asks.
    KnownSources sources;
};

inline ModuleState& module_state(PyObject* module) noexcept {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module that defined the type of `object`.
inline ModuleState& state_of(PyObject* object) noexcept {
    return *static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(object)));
}

}  // namespace lorvex::container
