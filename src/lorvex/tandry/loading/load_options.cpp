#include "lorvex/tandry/loading/load_options.hpp"

#include <time.h>

#include "lorvex/capi/calls.hpp"

namespace lorvex::tandry {

namespace {

constexpr const char* options_module = "lorvex._load_options";

double float_of(PyObject* value) {
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) py::throw_error_set();
    return number;
}

}  // namespace

LoadOptions current_load_options() {
    py::Ref module = py::check(PyImport_ImportModule(options_module));
    py::Ref variable = py::getattr(module.get(), "CURRENT");
    PyObject* value = nullptr;
    py::check_status(PyContextVar_Get(variable.get(), Py_None, &value));
    py::Ref options = py::Ref::steal(value);
    LoadOptions result;
    if (options.get() == Py_None) return result;
    py::Ref table = py::getattr(options.get(), "frame_table");
    if (PyBytes_Check(table.get())) result.frame_table = std::move(table);
    py::Ref deadline = py::getattr(options.get(), "deadline");
    if (deadline.get() != Py_None) {
        result.deadline = float_of(deadline.get());
        py::Ref timeout = py::getattr(options.get(), "timeout");
        if (timeout.get() != Py_None) result.timeout = float_of(timeout.get());
    }
    return result;
}

double monotonic_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace lorvex::tandry
