#include "lorvex/tandry/surface/module_state.hpp"

namespace lorvex::tandry {

namespace {
constexpr const char* global_names[] = {"np",
                                        "pickle",
                                        "base64",
                                        "subprocess",
                                        "shared_memory",
                                        "time",
                                        "bisect",
                                        "open",
                                        "get_stats",
                                        "compute_parellelized_intervals",
                                        "estimate_frame_location",
                                        "split_by_stride",
                                        "tandry_load",
                                        "tandry_interleaved_load"};
static_assert(std::size(global_names) == static_cast<std::size_t>(Global::count));
}  // namespace

const char* name_of(Global global) noexcept {
    return global_names[static_cast<std::size_t>(global)];
}

ModuleState& module_state(PyObject* module) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr || !state->executed) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "lorvex.tandry: module is not initialised");
        }
        py::throw_error_set();
    }
    return *state;
}

}  // namespace lorvex::tandry
