// The pieces of the workers' command lines: everything a worker gets is text.
#pragma once

#include <initializer_list>

#include "lorvex/python/ref.hpp"
#include "lorvex/tandry/plan.hpp"

namespace lorvex::tandry {

inline constexpr const char* one_shot_program = "lorvex";
inline constexpr const char* interleaved_program = "lorvex_interleaved";

// str(value): an exact str unchanged, an int in decimal.
py::Ref text(PyObject* value);
py::Ref text(Py_ssize_t value);
py::Ref text(const char* value);

// The texts that every worker of one load gets alike.
struct CommonTexts {
    py::Ref height;
    py::Ref width;
    py::Ref num_frames;
    py::Ref workers;
    py::Ref start;  // the record's first pts
    py::Ref end;    // the record's last pts
};

CommonTexts common_texts(const Plan& plan, PyObject* height, PyObject* width, PyObject* num_frames,
                         Py_ssize_t workers);

// A new list of the items, in order.
py::Ref command_line(std::initializer_list<PyObject*> items);

}  // namespace lorvex::tandry
