// What the loaders take from the planner, and how they turn it into worker assignments.
#pragma once

#include "lorvex/capi/ref.hpp"
#include "lorvex/tandry/planning/requests.hpp"

namespace lorvex::tandry {

struct Plan {
    py::Ref intervals;  // (start pts, end pts, count) triples
    py::Ref record;     // the video statistics record in force
    py::Ref requests;   // the request list, exactly a list
};

// compute_parellelized_intervals(video_path, indices, intervals, d=d), unpacked.
Plan make_plan(PyObject* module, PyObject* video_path, PyObject* indices, PyObject* intervals,
               PyObject* record);

// The plan's intervals as a list, except that a video whose first and last pts coincide
// (the planner then makes no interval) still gets one, (start, end, rows), when any frame
// is asked for.
py::Ref worker_intervals(const Plan& plan, Py_ssize_t rows);

// The shape (rows, 3, height, width).
py::Ref frame_shape(PyObject* rows, PyObject* height, PyObject* width);

// What both loaders check before any work: the output size must be set (an assertion,
// skipped when the interpreter runs optimised), and every requested index an integer.
void check_load_arguments(PyObject* module, PyObject* height, PyObject* width, PyObject* indices);

// Everything both loaders do before any block or worker exists.
struct PreparedLoad {
    Plan plan;
    py::Ref num_frames;    // the record's frame count
    Requests requests;     // checked against it
    py::Ref encoded_rows;  // the row map as the workers read it
};

enum class Repeats { gathered, refused };

// Checks the arguments, plans with `intervals` wanted, and resolves the request list against
// the record; with Repeats::refused a frame asked for twice is a ValueError.
PreparedLoad prepare_load(PyObject* module, PyObject* video_path, PyObject* indices,
                          PyObject* height, PyObject* width, PyObject* intervals, PyObject* record,
                          Repeats repeats);

}  // namespace lorvex::tandry
