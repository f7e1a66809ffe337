// How the module's C++ exceptions reach Python.
#pragma once

#include <exception>

#include "lorvex/capi/entry.hpp"

namespace lorvex::container {

// FileAccessError becomes the OSError subclass for its errno (FileNotFoundError,
// PermissionError, ...) naming the path; any other AvError becomes ValueError.
bool translate_error(std::exception_ptr error);

// py::guard with the module's translation: every Python entry point goes through it.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    return py::guard(std::forward<Body>(body), translate_error);
}

}  // namespace lorvex::container
