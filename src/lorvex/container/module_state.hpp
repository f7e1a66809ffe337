// What the module keeps per interpreter: its types, fractions.Fraction, and the probes and
// frame tables this process made.
#pragma once

#include <tuple>

#include "lorvex/capi/module_slots.hpp"
#include "lorvex/container/source.hpp"

namespace lorvex::container {

struct ModuleState {
    bool executed;  // false until the module is executed, which builds the state
    PyObject* fraction;
    PyTypeObject* container_type;
    PyTypeObject* streams_type;
    PyTypeObject* stream_type;
    PyTypeObject* packet_type;
    PyTypeObject* demuxer_type;
    // One probe per file and process, whichever of the module's functions asks.
    KnownSources sources;

    // The Python objects the state holds.
    auto held() noexcept {
        return std::tie(fraction, container_type, streams_type, stream_type, packet_type,
                        demuxer_type);
    }
};

inline ModuleState& module_state(PyObject* module) noexcept {
    return py::state_of_module<ModuleState>(module);
}

// The state of the module that defined the type of `object`.
inline ModuleState& state_of(PyObject* object) noexcept {
    return py::state_of_type<ModuleState>(object);
}

}  // namespace lorvex::container
