// The function objects that serve as the classes' methods: they bind to instances like
// Python functions (descriptor + method flag), and carry __name__, __qualname__, __doc__,
// __module__, __defaults__ and __annotations__.
#pragma once

#include "lorvex/capi/ref.hpp"
#include "lorvex/tandry/surface/callables.hpp"

namespace lorvex::tandry {

// Readies the type; called when the module is executed.
void ready_method_type();

// A new method object for `callable`, whose body will receive `module`.
py::Ref new_method(const Callable& callable, PyObject* module);

}  // namespace lorvex::tandry
