// Late binding: the module's functions reach module-level names (numpy, subprocess, one
// another, ...) through the module namespace at every call, so rebinding an attribute of
// the module changes what every caller does.
#pragma once

#include "lorvex/capi/ref.hpp"
#include "lorvex/tandry/surface/module_state.hpp"

namespace lorvex::tandry {

// The module dict's value for `name`, else the builtin of that name, else NameError
// "name '<name>' is not defined".
py::Ref global(PyObject* module, Global name);

// A builtin resolved once when the module was loaded (AssertionError, enumerate, range,
// round, StopIteration), so later changes to the builtins module do not affect it.
py::Ref builtin(PyObject* module, Builtin which);

}  // namespace lorvex::tandry
