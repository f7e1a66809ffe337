#include <source_location>

#include "lorvex/capi/entry.hpp"
#include "lorvex/tandry/surface/callables.hpp"
#include "lorvex/tandry/surface/checks.hpp"

namespace lorvex::tandry {

namespace {
// Tracebacks name this pseudo source file, beside the dotted name of the callable.
constexpr const char* traceback_file = "lorvex/tandry";
}  // namespace

PyObject* invoke(const Callable& callable, PyObject* module, PyObject* defaults,
                 PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    // Replaced by the line that noticed the failure, when there is one.
    int line = static_cast<int>(std::source_location::current().line());
    PyObject* result = py::guard([&]() -> py::Ref {
        try {
            const BoundArguments bound = bind(callable.signature, defaults, args, nargs, kwnames);
            py::Ref value = callable.body(module, bound.view());
            if (!value) {
                if (!PyErr_Occurred()) {
                    PyErr_Format(PyExc_SystemError, "%s returned no value", callable.qualname);
                }
                py::throw_error_set();
            }
            if (callable.result == ResultRule::int_or_none) {
                expect_exact(value.get(), &PyLong_Type);
            }
            return value;
        } catch (const py::PyErrorSet& error) {
            if (error.line > 0) line = error.line;
            throw;
        }
    });
    if (result == nullptr) _PyTraceback_Add(callable.traceback_name, traceback_file, line);
    return result;
}

}  // namespace lorvex::tandry
