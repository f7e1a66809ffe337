// Unpacking a result into a fixed number of items, with the host's own messages.
#pragma once

#include <vector>

#include "lorvex/capi/ref.hpp"

namespace lorvex::tandry {

// A tuple or list of exactly `count` items is taken apart directly; anything else is
// iterated for exactly `count` items. More or fewer raise ValueError.
std::vector<py::Ref> unpack(PyObject* object, Py_ssize_t count);

}  // namespace lorvex::tandry
