// The one-shot loader: one worker per planned interval, all writing into one block; the
// call waits for every worker, copies the frames out and removes the block.
#include <vector>

#include "lorvex/capi/calls.hpp"
#include "lorvex/tandry/loading/block_lifecycle.hpp"
#include "lorvex/tandry/loading/load_preparation.hpp"
#include "lorvex/tandry/loading/memory_advice.hpp"
#include "lorvex/tandry/loading/worker_commands.hpp"
#include "lorvex/tandry/loading/worker_memory_files.hpp"
#include "lorvex/tandry/loading/workers.hpp"
#include "lorvex/tandry/planning/requests.hpp"
#include "lorvex/tandry/surface/functions.hpp"
#include "lorvex/tandry/surface/namespace.hpp"
#include "lorvex/tandry/surface/unpack.hpp"

namespace lorvex::tandry {

namespace {

// Waits for the workers until all have exited or one has failed; a failed worker fails the
// load at once, since its rows will never be written.
void wait_for_all(PyObject* module, PyObject* processes) {
    wait_for_workers(module, processes);
    if (py::Ref failures = describe_failures(processes, one_shot_program)) {
        py::raise(PyExc_RuntimeError, "decoding failed: %U", failures.get());
    }
}

// Fills `out` from `view`: a straight copy when each frame was asked for once, else one
// row per position of the request list, each taken from the frame's single row.
void gather(PyObject* np, PyObject* out, PyObject* view, const Requests& requests) {
    if (!requests.has_duplicates()) {
        py::Ref copyto = py::getattr(np, "copyto");
        py::call(copyto.get(), out, view);
        return;
    }
    py::Ref rows = py::check(PyList_New(static_cast<Py_ssize_t>(requests.rows.size())));
    for (std::size_t i = 0; i < requests.rows.size(); ++i) {
        PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i),
                        py::new_int(requests.rows[i]).release());
    }
    py::Ref zero = py::new_int(0);
    py::call_method(np, "take", {view, rows.get()}, {{"axis", zero.get()}, {"out", out}});
}

}  // namespace

py::Ref tandry_load(PyObject* module, Args args) {
    PyObject* video_path = args[0];
    PyObject* indices = args[1];
    PyObject* height = args[2];
    PyObject* width = args[3];
    PyObject* num_threads = args[4];
    PyObject* d = args[5];
    PyObject* interpolation = args[6];

    PreparedLoad prepared =
        prepare_load(module, video_path, indices, height, width, num_threads, d, Repeats::gathered);
    const Plan& plan = prepared.plan;
    const Requests& requests = prepared.requests;
    PyObject* num_frames = prepared.num_frames.get();
    PyObject* encoded_rows = prepared.encoded_rows.get();

    py::Ref np = global(module, Global::np);
    py::Ref sample = py::getattr(np.get(), "uint8");
    py::Ref rows = py::new_int(requests.distinct());
    py::Ref block_shape = frame_shape(rows.get(), height, width);
    py::Ref out_shape = block_shape;
    if (requests.has_duplicates()) {
        py::Ref positions = py::new_int(static_cast<Py_ssize_t>(requests.rows.size()));
        out_shape = frame_shape(positions.get(), height, width);
    }
    py::Ref zeros = py::getattr(np.get(), "zeros");
    py::Ref out = py::call_kw(zeros.get(), {out_shape.get()}, {{"dtype", sample.get()}});
    // The block holds each frame once: the output's own size unless frames repeat.
    py::Ref size = requests.has_duplicates() ? block_size(np.get(), block_shape.get(), sample.get())
                                             : py::getattr(out.get(), "size");
    py::Ref intervals = worker_intervals(plan, requests.distinct());

    WorkerMemoryFiles memory_files;
    memory_files.add_frame_table(video_path);
    py::Ref rows_item = memory_files.item_for(encoded_rows);
    py::Ref pass_fds = memory_files.pass_fds();

    require_room({size.get()});
    py::Ref block = create_block(module, size.get());
    py::Ref processes = py::check(PyList_New(0));
    py::Ref view;
    py::undo_on_failure(
        [&] {
            view = view_block(module, block.get(), block_shape.get(), sample.get());
            py::Ref name = py::getattr(block.get(), "name");
            start_one_shot_workers(module, processes.get(), intervals.get(), plan,
                                   {video_path, name.get(), rows_item.get(), height, width,
                                    num_frames, interpolation, pass_fds.get()});
            prepare_for_writing(out.get());
            wait_for_all(module, processes.get());
            prepare_for_reading(view.get());
            gather(np.get(), out.get(), view.get(), requests);
        },
        [&] {
            view = py::Ref();  // an exported buffer would make close() fail
            stop_workers_quietly(module, processes.get());
            release_logs(processes.get());
            remove_block(block.get());
        });
    release_logs(processes.get());
    view = py::Ref();
    remove_block(block.get());
    return out;
}

}  // namespace lorvex::tandry
