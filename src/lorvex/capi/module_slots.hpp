// What an extension module with multi-phase initialisation keeps in its state slot: its heap
// types and other objects, made when the module is executed, visited for the collector and
// cleared alike. A module's State starts with `bool executed` and lists the Python objects
// it holds in held() (references to its fields, as std::tie makes them).
#pragma once

#include <memory>
#include <tuple>

#include "lorvex/capi/ref.hpp"

namespace lorvex::py {

// Makes the heap type of `spec` for `module` and adds it to the module; the new reference is
// the caller's, to keep in the module's state.
inline PyTypeObject* add_type(PyObject* module, PyType_Spec& spec) {
    Ref type = check(PyType_FromModuleAndSpec(module, &spec, nullptr));
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    check_status(PyModule_AddType(module, type_object));
    return reinterpret_cast<PyTypeObject*>(type.release());
}

// The state of `module`.
template <typename State>
State& state_of_module(PyObject* module) noexcept {
    return *static_cast<State*>(PyModule_GetState(module));
}

// The state of the module that defined the type of `object`.
template <typename State>
State& state_of_type(PyObject* object) noexcept {
    return *static_cast<State*>(PyType_GetModuleState(Py_TYPE(object)));
}

// The state of `module`, built in the zeroed slot Python made for it: once per module.
template <typename State>
State& build_state(PyObject* module) {
    auto* slot = static_cast<State*>(PyModule_GetState(module));
    if (slot == nullptr) throw_error_set();
    if (slot->executed) raise(PyExc_RuntimeError, "%s is executed once", PyModule_GetName(module));
    State& state = *std::construct_at(slot);
    state.executed = true;
    return state;
}

// The module's traverse slot: each object the state holds, visited. (The state holds the
// types and the types hold the module: the collector needs both directions to free them.)
template <typename State>
int traverse_state(PyObject* module, visitproc visit, void* arg) {
    return std::apply(
        [&](auto*... objects) {
            for (PyObject* object : {reinterpret_cast<PyObject*>(objects)...}) Py_VISIT(object);
            return 0;
        },
        state_of_module<State>(module).held());
}

// The module's clear slot: each object the state holds, released and its field emptied.
template <typename State>
int clear_state(PyObject* module) {
    const auto clear_one = [](auto*& object) { Py_CLEAR(object); };
    std::apply([&](auto*&... objects) { (clear_one(objects), ...); },
               state_of_module<State>(module).held());
    return 0;
}

// The module's free slot: the objects released and the state, if it was built, destroyed.
template <typename State>
void free_state(void* module) {
    auto* object = static_cast<PyObject*>(module);
    clear_state<State>(object);
    auto* state = static_cast<State*>(PyModule_GetState(object));
    if (state != nullptr && state->executed) std::destroy_at(state);
}

}  // namespace lorvex::py
