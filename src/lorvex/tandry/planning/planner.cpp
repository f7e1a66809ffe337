// compute_parellelized_intervals and estimate_frame_location: splitting a video's pts range
// at keyframes, one interval per worker, and counting the requested frames of each.
#include <cmath>

#include "lorvex/capi/calls.hpp"
#include "lorvex/tandry/surface/checks.hpp"
#include "lorvex/tandry/surface/functions.hpp"
#include "lorvex/tandry/surface/namespace.hpp"

namespace lorvex::tandry {

namespace {

py::Ref bisect_call(PyObject* module, const char* function, PyObject* list, PyObject* value) {
    py::Ref bisect = global(module, Global::bisect);
    return py::call(py::getattr(bisect.get(), function).get(), list, value);
}

// The keyframe nearest to `target` among those around its insertion point, or null when
// the target lies before the first keyframe or on/after the last one.
py::Ref split_point(PyObject* module, PyObject* keyframes, PyObject* target) {
    const Py_ssize_t k = py::as_ssize(bisect_call(module, "bisect_right", keyframes, target).get());
    const Py_ssize_t count = PyObject_Length(keyframes);
    if (count < 0) py::throw_error_set();
    if (k == 0 || k == count) return {};
    py::Ref before = py::check(PySequence_GetItem(keyframes, k - 1));
    py::Ref after = py::check(PySequence_GetItem(keyframes, k));
    py::Ref distance_before =
        py::check(PyNumber_Absolute(py::check(PyNumber_Subtract(before.get(), target)).get()));
    py::Ref distance_after =
        py::check(PyNumber_Absolute(py::check(PyNumber_Subtract(after.get(), target)).get()));
    return py::compare_or_identical(distance_before.get(), distance_after.get(), Py_LT) ? before
                                                                                        : after;
}

py::Ref estimate(PyObject* module, PyObject* record, PyObject* boundary) {
    py::Ref function = global(module, Global::estimate_frame_location);
    return py::call(function.get(), boundary, py::get_item(record, "start").get(),
                    py::get_item(record, "end").get(), py::get_item(record, "num_frames").get());
}

}  // namespace

py::Ref estimate_frame_location(PyObject* module, Args args) {
    PyObject* pts = args[0];
    PyObject* pts_start = args[1];
    PyObject* pts_end = args[2];
    PyObject* num_frames = args[3];
    // Measured from pts_start: videos whose first pts is not 0 still map onto
    // [0, num_frames).
    py::Ref one = py::check(PyLong_FromLong(1));
    py::Ref last_index = py::check(PyNumber_Subtract(num_frames, one.get()));
    py::Ref offset = py::check(PyNumber_Subtract(pts, pts_start));
    py::Ref scaled = py::check(PyNumber_Multiply(last_index.get(), offset.get()));
    py::Ref span = py::check(PyNumber_Subtract(pts_end, pts_start));
    py::Ref position = py::check(PyNumber_TrueDivide(scaled.get(), span.get()));
    return py::call(builtin(module, Builtin::round).get(), position.get());
}

py::Ref compute_parellelized_intervals(PyObject* module, Args args) {
    PyObject* video_path = args[0];
    py::Ref indices = py::Ref::borrow(args[1]);
    PyObject* num_threads = args[2];
    py::Ref record = py::Ref::borrow(args[3]);

    if (record.get() == Py_None) {
        record = py::call(global(module, Global::get_stats).get(), video_path);
        expect_exact(record.get(), &PyDict_Type);
    }
    if (assertions_enabled()) {
        py::Ref zero = py::check(PyLong_FromLong(0));
        if (!py::compare_or_identical(num_threads, zero.get(), Py_GT)) fail_assertion(module);
    }
    if (indices.get() == Py_None) {
        py::Ref frames = py::call(builtin(module, Builtin::range).get(),
                                  py::get_item(record.get(), "num_frames").get());
        indices = py::check(PySequence_List(frames.get()));
    }

    py::Ref end = py::get_item(record.get(), "end");
    py::Ref start = py::get_item(record.get(), "start");
    py::Ref span = py::check(PyNumber_Subtract(end.get(), start.get()));
    const double step =
        PyFloat_AsDouble(py::check(PyNumber_TrueDivide(span.get(), num_threads)).get());
    if (step == -1.0 && PyErr_Occurred()) py::throw_error_set();

    py::Ref keyframes = py::get_item(record.get(), "kf");
    expect_exact(keyframes.get(), &PyList_Type);

    py::Ref split_points = py::check(PySet_New(nullptr));
    const long long workers = PyLong_AsLongLong(num_threads);
    if (workers == -1 && PyErr_Occurred()) py::throw_error_set();
    for (long long w = 1; w < workers; ++w) {
        // Measured from the first pts, so a video that does not start at 0 is still split
        // evenly.
        py::Ref offset = py::check(PyFloat_FromDouble(step * static_cast<double>(w)));
        py::Ref target =
            py::check(PyNumber_Add(py::get_item(record.get(), "start").get(), offset.get()));
        if (py::Ref point = split_point(module, keyframes.get(), target.get())) {
            py::check_status(PySet_Add(split_points.get(), point.get()));
        }
    }
    py::check_status(PySet_Add(split_points.get(), py::get_item(record.get(), "start").get()));
    py::check_status(PySet_Add(split_points.get(), py::get_item(record.get(), "end").get()));
    py::Ref boundaries = py::check(PySequence_List(split_points.get()));
    py::check_status(PyList_Sort(boundaries.get()));

    py::Ref intervals = py::check(PyList_New(0));
    const Py_ssize_t boundary_count = PyList_GET_SIZE(boundaries.get());
    for (Py_ssize_t j = 0; j + 1 < boundary_count; ++j) {
        PyObject* lower_boundary = PyList_GET_ITEM(boundaries.get(), j);
        PyObject* upper_boundary = PyList_GET_ITEM(boundaries.get(), j + 1);
        py::Ref lower = estimate(module, record.get(), lower_boundary);
        py::Ref upper = estimate(module, record.get(), upper_boundary);
        py::Ref below_upper = bisect_call(module, "bisect_left", indices.get(), upper.get());
        py::Ref below_lower = bisect_call(module, "bisect_left", indices.get(), lower.get());
        py::Ref count = py::check(PyNumber_Subtract(below_upper.get(), below_lower.get()));
        if (j + 2 == boundary_count) {
            // The final frame sits exactly on the last upper estimate, which the half-open
            // ranges leave out.
            py::Ref last_requested = py::check(PySequence_GetItem(indices.get(), -1));
            py::Ref one = py::check(PyLong_FromLong(1));
            py::Ref last_frame = py::check(
                PyNumber_Subtract(py::get_item(record.get(), "num_frames").get(), one.get()));
            if (py::compare_or_identical(last_requested.get(), last_frame.get(), Py_EQ)) {
                count = py::check(PyNumber_Add(count.get(), one.get()));
            }
        }
        py::Ref interval = py::check(PyTuple_Pack(3, lower_boundary, upper_boundary, count.get()));
        py::check_status(PyList_Append(intervals.get(), interval.get()));
    }
    return py::check(PyTuple_Pack(3, intervals.get(), record.get(), indices.get()));
}

}  // namespace lorvex::tandry
