#include "lorvex/tandry/loading/load_options.hpp"

#include <time.h>

#include <climits>
#include <initializer_list>
#include <string_view>

#include "lorvex/capi/calls.hpp"

namespace lorvex::tandry {

namespace {

constexpr const char* options_module = "lorvex._load_options";

double float_of(PyObject* value) {
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) py::throw_error_set();
    return number;
}

long integer_of(PyObject* value) {
    const long number = PyLong_AsLong(value);
    if (number == -1 && PyErr_Occurred()) py::throw_error_set();
    return number;
}

// The text of options.<name>, one of `accepted`, whose place in it is returned.
std::size_t choice_of(PyObject* options, const char* name,
                      std::initializer_list<std::string_view> accepted) {
    py::Ref value = py::getattr(options, name);
    Py_ssize_t size = 0;
    const char* text =
        PyUnicode_Check(value.get()) ? PyUnicode_AsUTF8AndSize(value.get(), &size) : nullptr;
    if (text != nullptr) {
        std::size_t place = 0;
        for (const std::string_view choice : accepted) {
            if (choice == std::string_view(text, static_cast<std::size_t>(size))) return place;
            ++place;
        }
    }
    PyErr_Clear();
    py::raise(PyExc_ValueError, "load options: unknown %s %R", name, value.get());
}

FrameFormat format_of(PyObject* options) {
    FrameFormat format;
    format.layout = choice_of(options, "layout", {"NCHW", "NHWC"}) == 0 ? FrameLayout::planes
                                                                        : FrameLayout::pixels;
    format.sample_bytes = choice_of(options, "dtype", {"uint8", "uint16"}) == 0 ? 1 : 2;
    const long turns = integer_of(py::getattr(options, "quarter_turns").get());
    if (turns < 0 || turns > 3) {
        py::raise(PyExc_ValueError, "load options: %ld quarter turns (0 to 3)", turns);
    }
    format.quarter_turns = static_cast<int>(turns);
    return format;
}

std::vector<int> descriptors_of(PyObject* options) {
    py::Ref given = py::getattr(options, "inherited");
    py::Ref sequence = py::check(PySequence_Fast(given.get(), "load options: inherited"));
    std::vector<int> descriptors;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
        const long descriptor = integer_of(PySequence_Fast_GET_ITEM(sequence.get(), i));
        if (descriptor < 3 || descriptor > INT_MAX) {
            py::raise(PyExc_ValueError, "load options: descriptor %ld", descriptor);
        }
        descriptors.push_back(static_cast<int>(descriptor));
    }
    return descriptors;
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
    result.format = format_of(options.get());
    result.inherited = descriptors_of(options.get());
    return result;
}

double monotonic_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace lorvex::tandry
