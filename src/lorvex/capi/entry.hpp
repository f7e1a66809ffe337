// The one place where C++ exceptions become Python exceptions.
#pragma once

#include <exception>
#include <new>

#include "lorvex/capi/ref.hpp"

namespace lorvex::py {

// Runs `body` (returning Ref) and converts what escapes it. `translate` maps
// module-specific exception types; it sets the Python error and returns true when it
// recognised the current exception. Returns the new reference, or NULL with an error set.
template <typename Body, typename Translate>
PyObject* guard(Body&& body, Translate&& translate) noexcept {
    try {
        return body().release();
    } catch (const PyErrorSet&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (...) {
        try {
            if (translate(std::current_exception())) return nullptr;
            throw;
        } catch (const std::exception& error) {
            PyErr_SetString(PyExc_RuntimeError, error.what());
        } catch (...) {
            PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
        }
        return nullptr;
    }
}

template <typename Body>
PyObject* guard(Body&& body) noexcept {
    return guard(std::forward<Body>(body), [](std::exception_ptr) { return false; });
}

}  // namespace lorvex::py
