// Late binding: the module's functions reach module-level names (numpy, subprocess, one
// another, ...) through the module namespace at every call, so rebinding an attribute of
// the module changes what every caller does.
#pragma once

#include "lorvex/python/ref.hpp"

namespace lorvex::tandry {

// The module dict's value for `name`, else the builtin of that name, else NameError
// "name '<name>' is not defined".
py::Ref global(PyObject* module, const char* name);

}  // namespace lorvex::tandry
