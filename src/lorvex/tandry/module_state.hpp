// What the module keeps beside its namespace: the builtins it resolved at load, and the
// default values of its functions, all created once when the module is executed.
#pragma once

#include <array>

#include "lorvex/python/ref.hpp"

namespace lorvex::tandry {

enum class Builtin { AssertionError, enumerate, range, round, StopIteration, count };

inline constexpr std::size_t module_function_count = 6;

struct ModuleData {
    py::Ref builtins_module;
    std::array<py::Ref, static_cast<std::size_t>(Builtin::count)> builtins;
    // Per module function (in table order): the tuple of its optional parameters' defaults.
    std::array<py::Ref, module_function_count> function_defaults;
};

// The module's state slot. `data` is null until the module is executed; it is owned by the
// module and freed with it, so a non-null value also marks an executed module.
struct ModuleState {
    ModuleData* data;
};

ModuleState& module_state(PyObject* module);

// The data of an executed module; SystemError when the module was never executed or has
// already been torn down.
ModuleData& module_data(PyObject* module);

}  // namespace lorvex::tandry
