#include "lorvex/tandry/loading/worker_commands.hpp"

#include <array>
#include <string_view>
#include <vector>

#include "lorvex/capi/calls.hpp"
#include "lorvex/protocol/command_line.hpp"
#include "lorvex/protocol/names.hpp"
#include "lorvex/tandry/loading/workers.hpp"
#include "lorvex/tandry/surface/unpack.hpp"

namespace lorvex::tandry {

namespace {

// str(value): an exact str itself, an int in decimal.
py::Ref text(PyObject* value) {
    return py::check(PyObject_Str(value));
}

py::Ref text(Py_ssize_t value) {
    return text(py::new_int(value).get());
}

py::Ref text(std::string_view value) {
    return py::check(
        PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

// The command line as a new list, for Popen.
py::Ref command_list(const std::array<PyObject*, kWorkerArgc>& items) {
    py::Ref list = py::check(PyList_New(kWorkerArgc));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        py::Ref::borrow(items[i]).release());
    }
    return list;
}

// The items that every worker of one load gets alike (but its number), kept alive here.
struct CommonItems {
    py::Ref height;
    py::Ref width;
    py::Ref num_frames;
    py::Ref workers;
    py::Ref start;  // the record's first pts
    py::Ref end;    // the record's last pts
    LoadItems<PyObject*> load;
};

void fill_common_items(CommonItems& common, const Plan& plan, const WorkerLoad& load,
                       Py_ssize_t workers) {
    common.height = text(load.height);
    common.width = text(load.width);
    common.num_frames = text(load.num_frames);
    common.workers = text(workers);
    common.start = text(py::get_item(plan.record.get(), "start").get());
    common.end = text(py::get_item(plan.record.get(), "end").get());
    common.load = {.video_path = load.video_path,
                   .frames_block = load.frames_name,
                   .rows = load.rows_item,
                   .height = common.height.get(),
                   .width = common.width.get(),
                   .num_frames = common.num_frames.get(),
                   .worker = nullptr,
                   .workers = common.workers.get(),
                   .record_start = common.start.get(),
                   .record_end = common.end.get(),
                   .interpolation = load.interpolation};
}

}  // namespace

void start_one_shot_workers(PyObject* module, PyObject* processes, PyObject* intervals,
                            const Plan& plan, const WorkerLoad& load) {
    py::Ref sequence = py::check(PySequence_Fast(intervals, "the interval list must be iterable"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    CommonItems common;
    fill_common_items(common, plan, load, count);
    py::Ref program = text(names::kOneShotProgram);
    for (Py_ssize_t k = 0; k < count; ++k) {
        py::Ref interval = py::Ref::borrow(PySequence_Fast_GET_ITEM(sequence.get(), k));
        std::vector<py::Ref> bounds = unpack(interval.get(), 3);
        py::Ref start = text(bounds[0].get());
        py::Ref end = text(bounds[1].get());
        py::Ref worker = text(k);
        common.load.worker = worker.get();
        py::Ref command = command_list(
            one_shot_command_line<PyObject*>(program.get(), {common.load, start.get(), end.get()}));
        start_worker(module, processes, command.get(), load.pass_fds);
    }
}

void start_interleaved_workers(PyObject* module, PyObject* processes, Py_ssize_t share_count,
                               PyObject* shares_item, PyObject* check_name, const Plan& plan,
                               const WorkerLoad& load) {
    CommonItems common;
    fill_common_items(common, plan, load, share_count);
    py::Ref program = text(names::kInterleavedProgram);
    for (Py_ssize_t i = 0; i < share_count; ++i) {
        py::Ref worker = text(i);
        common.load.worker = worker.get();
        py::Ref command = command_list(interleaved_command_line<PyObject*>(
            program.get(), {common.load, shares_item, check_name}));
        start_worker(module, processes, command.get(), load.pass_fds);
    }
}

}  // namespace lorvex::tandry
