// The module's 21 callables as data: names, docstrings, parameter tables, annotations,
// result rule and body. The module functions and the two classes are built from these.
#pragma once

#include <span>

#include "lorvex/tandry/surface/arguments.hpp"
#include "lorvex/tandry/surface/functions.hpp"

namespace lorvex::tandry {

using Body = py::Ref (*)(PyObject* module, Args args);

enum class ResultRule { any, int_or_none };

struct Annotation {
    const char* name;
    const char* text;
};

struct Callable {
    const char* qualname;        // "get_stats", "VideoReader.get_batch"
    const char* traceback_name;  // "lorvex.tandry.get_stats"
    const char* doc;
    Signature signature;
    Body body;
    ResultRule result = ResultRule::any;
    std::span<const Annotation> annotations = {};
};

// In the order the module binds them.
std::span<const Callable> module_functions();

struct ClassTable {
    const char* name;
    std::span<const Callable> methods;  // in namespace order
};

const ClassTable& video_reader_class();
const ClassTable& interleaved_reader_class();

// Calls `callable` for a vectorcall: binds the arguments, runs the body, checks the result,
// converts C++ exceptions and, on failure, adds the callable's traceback entry.
PyObject* invoke(const Callable& callable, PyObject* module, PyObject* defaults,
                 PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace lorvex::tandry
