// InterleavedVideoReader: one background load at a time, read while the workers go on.
#include <vector>

#include "lorvex/capi/calls.hpp"
#include "lorvex/tandry/loading/block_lifecycle.hpp"
#include "lorvex/tandry/loading/worker_commands.hpp"
#include "lorvex/tandry/loading/workers.hpp"
#include "lorvex/tandry/readers/reader_setup.hpp"
#include "lorvex/tandry/surface/functions.hpp"
#include "lorvex/tandry/surface/namespace.hpp"
#include "lorvex/tandry/surface/unpack.hpp"

namespace lorvex::tandry::interleaved_reader {

namespace {

constexpr double poll_seconds = 0.2;

// The reader's `p` as a list of its own.
py::Ref processes_of(PyObject* self) {
    py::Ref processes = py::getattr(self, "p");
    return py::check(PySequence_List(processes.get()));
}

// Stops the current load's workers, removes its blocks and forgets them, so that a second
// teardown finds nothing to do.
// In a forked copy of the reader's process the load belongs to the parent: the copy only
// forgets it, and the parent's workers and blocks go on.
void tear_down(PyObject* module, PyObject* self) {
    py::Ref processes = processes_of(self);
    const bool ours = started_here(processes.get());
    if (ours) stop_workers(module, processes.get());
    release_logs(processes.get());
    py::Ref empty = py::check(PyList_New(0));
    py::set_attr(self, "p", empty.get());
    for (const char* handle : {"frames_handle", "check_handle"}) {
        py::Ref name = py::getattr(self, handle);
        if (name.get() == Py_None) continue;
        if (ours) remove_block_named(module, name.get());
        py::set_attr(self, handle, Py_None);
    }
}

// np.ndarray(self.<shape>, dtype=np.uint8, buffer=block.buf), each name looked up when the
// call reaches it: the block is attached before numpy is consulted.
py::Ref view_of(PyObject* module, PyObject* self, PyObject* block, const char* shape_name) {
    py::Ref ndarray = py::getattr(global(module, Global::np).get(), "ndarray");
    py::Ref shape = py::getattr(self, shape_name);
    py::Ref uint8 = py::getattr(global(module, Global::np).get(), "uint8");
    py::Ref buffer = py::getattr(block, "buf");
    return py::call_kw(ndarray.get(), {shape.get()},
                       {{"dtype", uint8.get()}, {"buffer", buffer.get()}});
}

// The check view of the current load, over a fresh attachment. Members are destroyed in
// reverse order, so the view goes before the attachment it points into.
struct CheckView {
    py::Ref block;
    py::Ref view;
};

CheckView attach_check(PyObject* module, PyObject* self) {
    py::Ref name = py::getattr(self, "check_handle");
    CheckView check;
    check.block = attach_block(module, name.get());
    check.view = view_of(module, self, check.block.get(), "check_shape");
    return check;
}

// np.all(values == 1), or np.all(values[range] == 1)
py::Ref all_ones(PyObject* module, PyObject* values, PyObject* range = nullptr) {
    py::Ref all = py::getattr(global(module, Global::np).get(), "all");
    py::Ref selected = range == nullptr ? py::Ref::borrow(values) : py::get_slice(values, range);
    py::Ref one = py::new_int(1);
    py::Ref flags = py::check(PyObject_RichCompare(selected.get(), one.get(), Py_EQ));
    return py::call(all.get(), flags.get());
}

bool range_ready(PyObject* module, PyObject* self, PyObject* range) {
    CheckView check = attach_check(module, self);
    py::Ref ready = all_ones(module, check.view.get(), range);
    return py::is_true(ready.get());
}

[[noreturn]] void raise_unfinished(PyObject* self, PyObject* start, PyObject* end) {
    if (py::Ref failures = describe_failures(processes_of(self).get(), interleaved_program)) {
        py::raise(PyExc_RuntimeError, "frames %R to %R will never be loaded: %U", start, end,
                  failures.get());
    }
    py::raise(PyExc_RuntimeError,
              "frames %R to %R will never be loaded: every %s worker has exited", start, end,
              interleaved_program);
}

// True once no more rows will come: every worker has exited, or one has failed.
bool load_ended(PyObject* self) {
    py::Ref processes = processes_of(self);
    return all_exited(processes.get()) || any_failed(processes.get());
}

}  // namespace

py::Ref init(PyObject* module, Args args) {
    PyObject* self = args[0];
    py::set_attr(self, "video_path", args[1]);
    py::set_attr(self, "num_threads", args[4]);
    py::set_attr(self, "num_intervals", args[5]);
    set_probe_and_size(module, self, args[1], args[2], args[3]);
    py::Ref processes = py::check(PyList_New(0));
    py::set_attr(self, "p", processes.get());
    for (const char* name : {"frames_handle", "check_handle", "frames_shape", "check_shape"}) {
        py::set_attr(self, name, Py_None);
    }
    py::set_attr(self, "frame_iter", py::new_int(1).get());
    py::set_attr(self, "pos", py::new_int(0).get());
    py::set_attr(self, "finished", Py_False);
    return py::Ref::borrow(Py_None);
}

py::Ref process(PyObject* module, Args args) {
    PyObject* self = args[0];
    // The reader owns one load at a time: the previous one must not outlive its handles.
    tear_down(module, self);
    py::Ref load = global(module, Global::tandry_interleaved_load);
    std::vector<py::Ref> arguments;
    for (const char* name : {"video_path", "height", "width", "num_threads", "num_intervals",
                             "video_metadata", "interpolation"}) {
        arguments.push_back(py::getattr(self, name));
    }
    py::Ref result =
        py::call(load.get(), arguments[0].get(), args[1], arguments[1].get(), arguments[2].get(),
                 arguments[3].get(), arguments[4].get(), arguments[5].get(), arguments[6].get());
    std::vector<py::Ref> items = unpack(result.get(), 5);
    const char* names[] = {"frames_handle", "check_handle", "frames_shape", "check_shape", "p"};
    for (std::size_t i = 0; i < items.size(); ++i) py::set_attr(self, names[i], items[i].get());
    return py::Ref::borrow(Py_None);
}

py::Ref del(PyObject* module, Args args) {
    // A reader whose construction failed (the probe raised) owns no load; tearing it down
    // must not add a second, unrelated error to the one the caller already got.
    if (!PyObject_HasAttrString(args[0], "p")) return py::Ref::borrow(Py_None);
    tear_down(module, args[0]);
    return py::Ref::borrow(Py_None);
}

py::Ref all_loaded(PyObject* module, Args args) {
    CheckView check = attach_check(module, args[0]);
    return all_ones(module, check.view.get());
}

py::Ref get_frames(PyObject* module, Args args) {
    PyObject* self = args[0];
    PyObject* start = args[1];
    PyObject* end = args[2];
    py::Ref range = py::check(PySlice_New(start, end, nullptr));
    // Polls the flags; once a worker has failed or every worker has exited, the flags are
    // read once more (a worker may have finished the range just before) before giving up.
    bool end_seen = false;
    while (true) {
        if (range_ready(module, self, range.get())) break;
        if (end_seen) raise_unfinished(self, start, end);
        if (load_ended(self)) {
            end_seen = true;
            continue;
        }
        py::Ref time = global(module, Global::time);
        py::Ref delay = py::check(PyFloat_FromDouble(poll_seconds));
        py::call_method(time.get(), "sleep", {delay.get()});
    }
    py::Ref name = py::getattr(self, "frames_handle");
    py::Ref block = attach_block(module, name.get());
    py::Ref view = view_of(module, self, block.get(), "frames_shape");
    py::Ref selected = py::get_slice(view.get(), range.get());
    return py::call_method(selected.get(), "copy");
}

py::Ref iter(PyObject*, Args args) {
    return py::Ref::borrow(args[0]);
}

py::Ref next(PyObject* module, Args args) {
    PyObject* self = args[0];
    if (py::is_true(py::getattr(self, "finished").get())) {
        PyErr_SetNone(builtin(module, Builtin::StopIteration).get());
        py::throw_error_set();
    }
    py::Ref pos = py::getattr(self, "pos");
    py::Ref step = py::getattr(self, "frame_iter");
    py::Ref stop = py::check(PyNumber_Add(pos.get(), step.get()));
    py::Ref shape = py::getattr(self, "frames_shape");
    py::Ref zero = py::new_int(0);
    py::Ref rows = py::check(PyObject_GetItem(shape.get(), zero.get()));
    if (py::compare(stop.get(), rows.get(), Py_GE)) {
        py::set_attr(self, "finished", Py_True);
        shape = py::getattr(self, "frames_shape");
        rows = py::check(PyObject_GetItem(shape.get(), zero.get()));
        return py::call_method(self, "get_frames", {pos.get(), rows.get()});
    }
    py::Ref chunk = py::call_method(self, "get_frames", {pos.get(), stop.get()});
    pos = py::getattr(self, "pos");
    step = py::getattr(self, "frame_iter");
    py::Ref advanced = py::check(PyNumber_InPlaceAdd(pos.get(), step.get()));
    py::set_attr(self, "pos", advanced.get());
    return chunk;
}

}  // namespace lorvex::tandry::interleaved_reader
