#include "lorvex/tandry/loading/worker_commands.hpp"

#include <vector>

#include "lorvex/tandry/loading/workers.hpp"
#include "lorvex/tandry/surface/calls.hpp"
#include "lorvex/tandry/surface/unpack.hpp"

namespace lorvex::tandry {

py::Ref text(PyObject* value) {
    return py::check(PyObject_Str(value));
}

py::Ref text(Py_ssize_t value) {
    return text(new_int(value).get());
}

py::Ref text(const char* value) {
    return py::check(PyUnicode_FromString(value));
}

namespace {

// The texts that every worker of one load gets alike.
struct CommonTexts {
    py::Ref height;
    py::Ref width;
    py::Ref num_frames;
    py::Ref workers;
    py::Ref start;  // the record's first pts
    py::Ref end;    // the record's last pts
};

CommonTexts common_texts(const Plan& plan, const WorkerLoad& load, Py_ssize_t workers) {
    return {text(load.height),
            text(load.width),
            text(load.num_frames),
            text(workers),
            text(get_item(plan.record.get(), "start").get()),
            text(get_item(plan.record.get(), "end").get())};
}

// A new list of the items, in order.
py::Ref command_line(std::initializer_list<PyObject*> items) {
    py::Ref list = py::check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyList_SET_ITEM(list.get(), i++, py::Ref::borrow(item).release());
    return list;
}

}  // namespace

void start_one_shot_workers(PyObject* module, PyObject* processes, PyObject* intervals,
                            const Plan& plan, const WorkerLoad& load) {
    py::Ref sequence = py::check(PySequence_Fast(intervals, "the interval list must be iterable"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    CommonTexts texts = common_texts(plan, load, count);
    py::Ref program = text(one_shot_program);
    for (Py_ssize_t k = 0; k < count; ++k) {
        py::Ref interval = py::Ref::borrow(PySequence_Fast_GET_ITEM(sequence.get(), k));
        std::vector<py::Ref> bounds = unpack(interval.get(), 3);
        py::Ref command = command_line(
            {program.get(), load.video_path, load.frames_name, load.rows_item,
             text(bounds[0].get()).get(), text(bounds[1].get()).get(), texts.height.get(),
             texts.width.get(), texts.num_frames.get(), text(k).get(), texts.workers.get(),
             texts.start.get(), texts.end.get(), load.interpolation});
        start_worker(module, processes, command.get(), load.pass_fds);
    }
}

void start_interleaved_workers(PyObject* module, PyObject* processes, Py_ssize_t share_count,
                               PyObject* shares_item, PyObject* check_name, const Plan& plan,
                               const WorkerLoad& load) {
    CommonTexts texts = common_texts(plan, load, share_count);
    py::Ref program = text(interleaved_program);
    for (Py_ssize_t i = 0; i < share_count; ++i) {
        py::Ref command =
            command_line({program.get(), load.video_path, load.frames_name, load.rows_item,
                          shares_item, texts.height.get(), texts.width.get(),
                          texts.num_frames.get(), text(i).get(), texts.workers.get(),
                          texts.start.get(), texts.end.get(), load.interpolation, check_name});
        start_worker(module, processes, command.get(), load.pass_fds);
    }
}

}  // namespace lorvex::tandry
