// The interleaved loader: the intervals are dealt out to the workers in turn, and the call
// returns as soon as they run, handing the blocks and processes to the reader.
#include "lorvex/capi/calls.hpp"
#include "lorvex/tandry/loading/block_lifecycle.hpp"
#include "lorvex/tandry/loading/load_preparation.hpp"
#include "lorvex/tandry/loading/worker_commands.hpp"
#include "lorvex/tandry/loading/worker_memory_files.hpp"
#include "lorvex/tandry/loading/workers.hpp"
#include "lorvex/tandry/planning/requests.hpp"
#include "lorvex/tandry/surface/functions.hpp"
#include "lorvex/tandry/surface/namespace.hpp"

namespace lorvex::tandry {

namespace {

// view[:] = 0 over a fresh view of the block.
void clear_flags(PyObject* module, PyObject* block, PyObject* rows, PyObject* uint8) {
    py::Ref view = view_block(module, block, rows, uint8);
    py::Ref everything = py::check(PySlice_New(nullptr, nullptr, nullptr));
    py::Ref zero = py::new_int(0);
    py::set_slice(view.get(), everything.get(), zero.get());
}

}  // namespace

py::Ref split_by_stride(PyObject*, Args args) {
    PyObject* lst = args[0];
    py::Ref stride_object = py::check(PyNumber_Index(args[1]));
    const Py_ssize_t stride = py::as_ssize(stride_object.get());
    py::Ref shares = py::check(PyList_New(0));
    for (Py_ssize_t k = 0; k < stride; ++k) {
        py::Ref share = py::check(PyList_New(0));
        const Py_ssize_t length = PyObject_Size(lst);
        if (length < 0) py::throw_error_set();
        for (Py_ssize_t j = k; j < length; j += stride) {
            py::Ref item = py::check(PyObject_GetItem(lst, py::new_int(j).get()));
            py::check_status(PyList_Append(share.get(), item.get()));
        }
        py::check_status(PyList_Append(shares.get(), share.get()));
    }
    return shares;
}

py::Ref tandry_interleaved_load(PyObject* module, Args args) {
    PyObject* video_path = args[0];
    PyObject* indices = args[1];
    PyObject* height = args[2];
    PyObject* width = args[3];
    PyObject* num_threads = args[4];
    PyObject* num_intervals = args[5];
    PyObject* d = args[6];
    PyObject* interpolation = args[7];

    // Rows are positions of the request list here; a repeat would need a row the blocks do
    // not have.
    PreparedLoad prepared = prepare_load(module, video_path, indices, height, width, num_intervals,
                                         d, Repeats::refused);
    const Plan& plan = prepared.plan;
    const Requests& requests = prepared.requests;
    PyObject* num_frames = prepared.num_frames.get();
    PyObject* encoded_rows = prepared.encoded_rows.get();
    py::Ref rows = py::new_int(requests.distinct());
    py::Ref shape = frame_shape(rows.get(), height, width);

    py::Ref np = global(module, Global::np);
    py::Ref uint8 = py::getattr(np.get(), "uint8");
    py::Ref processes = py::check(PyList_New(0));
    py::Ref frames_size = block_size(np.get(), shape.get(), uint8.get());
    py::Ref check_size = block_size(np.get(), rows.get(), uint8.get());

    require_room({frames_size.get(), check_size.get()});
    py::Ref frames_block = create_block(module, frames_size.get());
    py::Ref check_block;
    py::Ref frames_name;
    py::Ref check_name;
    py::undo_on_failure(
        [&] {
            check_block = create_block(module, check_size.get());
            clear_flags(module, check_block.get(), rows.get(), uint8.get());
            frames_name = py::getattr(frames_block.get(), "name");
            check_name = py::getattr(check_block.get(), "name");
            py::Ref intervals = worker_intervals(plan, requests.distinct());
            py::Ref split = global(module, Global::split_by_stride);
            py::Ref shares = py::call(split.get(), intervals.get(), num_threads);
            WorkerMemoryFiles memory_files;
            memory_files.add_frame_table(video_path);
            py::Ref rows_item = memory_files.item_for(encoded_rows);
            py::Ref encoded_shares = encode_for_workers(module, shares.get());
            py::Ref shares_item = memory_files.item_for(encoded_shares.get());
            py::Ref pass_fds = memory_files.pass_fds();
            const Py_ssize_t share_count = PyObject_Size(shares.get());
            if (share_count < 0) py::throw_error_set();
            start_interleaved_workers(module, processes.get(), share_count, shares_item.get(),
                                      check_name.get(), plan,
                                      {video_path, frames_name.get(), rows_item.get(), height,
                                       width, num_frames, interpolation, pass_fds.get()});
        },
        [&] {
            stop_workers_quietly(module, processes.get());
            release_logs(processes.get());
            remove_blocks({frames_block.get(), check_block.get()});
        });
    // Dropping the block objects closes this process's mappings; the blocks stay until the
    // reader's teardown unlinks them.
    return py::check(PyTuple_Pack(5, frames_name.get(), check_name.get(), shape.get(), rows.get(),
                                  processes.get()));
}

}  // namespace lorvex::tandry
