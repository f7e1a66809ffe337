#include "lorvex/tandry/loading/load_preparation.hpp"

#include "lorvex/capi/calls.hpp"
#include "lorvex/tandry/planning/requests.hpp"
#include "lorvex/tandry/surface/checks.hpp"
#include "lorvex/tandry/surface/namespace.hpp"
#include "lorvex/tandry/surface/unpack.hpp"

namespace lorvex::tandry {

Plan make_plan(PyObject* module, PyObject* video_path, PyObject* indices, PyObject* intervals,
               PyObject* record) {
    py::Ref planner = global(module, Global::compute_parellelized_intervals);
    py::Ref plan = py::call_kw(planner.get(), {video_path, indices, intervals}, {{"d", record}});
    std::vector<py::Ref> items = unpack(plan.get(), 3);
    // The planner always returns a list here; anything else (None included) is refused.
    expect_exact(items[2].get(), &PyList_Type, false);
    return {std::move(items[0]), std::move(items[1]), std::move(items[2])};
}

py::Ref worker_intervals(const Plan& plan, Py_ssize_t rows) {
    Py_ssize_t size = PyObject_Size(plan.intervals.get());
    if (size < 0) py::throw_error_set();
    if (size != 0 || rows == 0) return plan.intervals;
    py::Ref start = py::get_item(plan.record.get(), "start");
    py::Ref end = py::get_item(plan.record.get(), "end");
    py::Ref count = py::new_int(rows);
    py::Ref only = py::check(PyTuple_Pack(3, start.get(), end.get(), count.get()));
    py::Ref intervals = py::check(PyList_New(0));
    py::check_status(PyList_Append(intervals.get(), only.get()));
    return intervals;
}

py::Ref frame_shape(PyObject* rows, PyObject* height, PyObject* width) {
    py::Ref planes = py::new_int(3);
    return py::check(PyTuple_Pack(4, rows, planes.get(), height, width));
}

namespace {
void assert_size_known(PyObject* module, PyObject* size) {
    py::Ref zero = py::new_int(0);
    if (!py::compare(size, zero.get(), Py_GT)) {
        fail_assertion(module, "currently we need these set up front to allocate the buffer");
    }
}
}  // namespace

void check_load_arguments(PyObject* module, PyObject* height, PyObject* width, PyObject* indices) {
    if (assertions_enabled()) {
        assert_size_known(module, height);
        assert_size_known(module, width);
    }
    if (indices != Py_None) check_index_types(indices);
}

PreparedLoad prepare_load(PyObject* module, PyObject* video_path, PyObject* indices,
                          PyObject* height, PyObject* width, PyObject* intervals, PyObject* record,
                          Repeats repeats) {
    check_load_arguments(module, height, width, indices);
    PreparedLoad load;
    load.plan = make_plan(module, video_path, indices, intervals, record);
    load.num_frames = py::get_item(load.plan.record.get(), "num_frames");
    load.requests = resolve_requests(load.plan.requests.get(), load.num_frames.get());
    if (repeats == Repeats::refused && load.requests.first_repeat) {
        py::raise(PyExc_ValueError, "frame index %S is requested more than once",
                  load.requests.first_repeat.get());
    }
    load.encoded_rows = encode_for_workers(module, load.requests.row_map.get());
    return load;
}

}  // namespace lorvex::tandry
