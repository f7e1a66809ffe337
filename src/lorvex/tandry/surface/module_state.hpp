// What the module keeps beside its namespace, in its state slot: the builtins it resolved at
// load, the interned names of the module-level values its functions look up, and the default
// values of its functions. Built when the module is executed, destroyed with the module.
#pragma once

#include <array>
#include <string>

#include "lorvex/capi/ref.hpp"

namespace lorvex::tandry {

enum class Builtin { AssertionError, enumerate, range, round, StopIteration, count };

// The module-level names the functions and methods reach through the namespace at every
// call (late binding), so that rebinding one changes every caller.
enum class Global {
    np,
    pickle,
    base64,
    subprocess,
    shared_memory,
    time,
    bisect,
    open,
    get_stats,
    compute_parellelized_intervals,
    estimate_frame_location,
    split_by_stride,
    tandry_load,
    tandry_interleaved_load,
    count
};

// The text of a global's name.
const char* name_of(Global global) noexcept;

inline constexpr std::size_t module_function_count = 6;

struct ModuleState {
    // False until the module is executed; a second execution is refused.
    bool executed;
    py::Ref builtins_module;
    std::array<py::Ref, static_cast<std::size_t>(Builtin::count)> builtins;
    std::array<py::Ref, static_cast<std::size_t>(Global::count)> global_names;
    // Per module function (in table order): the tuple of its optional parameters' defaults.
    std::array<py::Ref, module_function_count> function_defaults;
    // The package's own container.open, as bound at load: while the namespace's `open` is
    // still this object, get_stats may take the probe's facts in place of packet objects.
    py::Ref container_open;
    // The folder of the worker programs, inside the package beside this module (empty when
    // the module has no file): the workers are started from there, with their command lines'
    // first item as it is, and no search along PATH.
    std::string worker_folder;
};

// The state of an executed module; SystemError when the module was never executed or has
// already been torn down.
ModuleState& module_state(PyObject* module);

}  // namespace lorvex::tandry
