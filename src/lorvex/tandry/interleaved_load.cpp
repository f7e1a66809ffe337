// The interleaved loader: the intervals are dealt out to the workers in turn, and the call
// returns as soon as they run, handing the blocks and processes to the reader.
#include "lorvex/tandry/calls.hpp"
#include "lorvex/tandry/functions.hpp"
#include "lorvex/tandry/inherited_texts.hpp"
#include "lorvex/tandry/namespace.hpp"
#include "lorvex/tandry/plan.hpp"
#include "lorvex/tandry/requests.hpp"
#include "lorvex/tandry/shared_blocks.hpp"
#include "lorvex/tandry/worker_commands.hpp"
#include "lorvex/tandry/workers.hpp"

namespace lorvex::tandry {

namespace {

struct Load {
    PyObject* video_path;
    PyObject* frames_name;
    PyObject* check_name;
    PyObject* encoded_rows;
    PyObject* height;
    PyObject* width;
    PyObject* num_frames;
    PyObject* interpolation;
};

void start_workers(PyObject* module, PyObject* processes, PyObject* shares, const Plan& plan,
                   const Load& load) {
    InheritedTexts inherited;
    inherited.add_frame_table(load.video_path);
    py::Ref rows_item = inherited.item_for(load.encoded_rows);
    py::Ref encoded_shares = encode_for_workers(module, shares);
    py::Ref shares_item = inherited.item_for(encoded_shares.get());
    py::Ref pass_fds = inherited.pass_fds();
    const Py_ssize_t count = PyObject_Size(shares);
    if (count < 0) py::throw_error_set();
    CommonTexts texts = common_texts(plan, load.height, load.width, load.num_frames, count);
    py::Ref program = text(interleaved_program);
    for (Py_ssize_t i = 0; i < count; ++i) {
        py::Ref command =
            command_line({program.get(), load.video_path, load.frames_name, rows_item.get(),
                          shares_item.get(), texts.height.get(), texts.width.get(),
                          texts.num_frames.get(), text(i).get(), texts.workers.get(),
                          texts.start.get(), texts.end.get(), load.interpolation, load.check_name});
        start_worker(module, processes, command.get(), pass_fds.get());
    }
}

// view[:] = 0 over a fresh view of the block.
void clear_flags(PyObject* module, PyObject* block, PyObject* rows, PyObject* uint8) {
    py::Ref view = view_block(module, block, rows, uint8);
    py::Ref everything = py::check(PySlice_New(nullptr, nullptr, nullptr));
    py::Ref zero = new_int(0);
    set_slice(view.get(), everything.get(), zero.get());
}

py::Ref zeros_size(PyObject* np, PyObject* shape, PyObject* uint8) {
    py::Ref zeros = py::getattr(np, "zeros");
    py::Ref array = call_kw(zeros.get(), {shape}, {{"dtype", uint8}});
    return py::getattr(array.get(), "size");
}

}  // namespace

py::Ref split_by_stride(PyObject*, Args args) {
    PyObject* lst = args[0];
    py::Ref stride_object = py::check(PyNumber_Index(args[1]));
    const Py_ssize_t stride = PyNumber_AsSsize_t(stride_object.get(), PyExc_OverflowError);
    if (stride == -1 && PyErr_Occurred()) py::throw_error_set();
    py::Ref shares = py::check(PyList_New(0));
    for (Py_ssize_t k = 0; k < stride; ++k) {
        py::Ref share = py::check(PyList_New(0));
        const Py_ssize_t length = PyObject_Size(lst);
        if (length < 0) py::throw_error_set();
        for (Py_ssize_t j = k; j < length; j += stride) {
            py::Ref item = py::check(PyObject_GetItem(lst, new_int(j).get()));
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
    py::Ref rows = new_int(requests.distinct());
    py::Ref shape = frame_shape(rows.get(), height, width);

    py::Ref np = global(module, "np");
    py::Ref uint8 = py::getattr(np.get(), "uint8");
    py::Ref processes = py::check(PyList_New(0));
    py::Ref frames_size = zeros_size(np.get(), shape.get(), uint8.get());
    py::Ref check_size = zeros_size(np.get(), rows.get(), uint8.get());

    require_room({frames_size.get(), check_size.get()});
    py::Ref frames_block = create_block(module, frames_size.get());
    py::Ref check_block;
    py::Ref frames_name;
    py::Ref check_name;
    undo_on_failure(
        [&] {
            check_block = create_block(module, check_size.get());
            clear_flags(module, check_block.get(), rows.get(), uint8.get());
            frames_name = py::getattr(frames_block.get(), "name");
            check_name = py::getattr(check_block.get(), "name");
            py::Ref intervals = worker_intervals(plan, requests.distinct());
            py::Ref split = global(module, "split_by_stride");
            py::Ref shares = py::call(split.get(), intervals.get(), num_threads);
            start_workers(module, processes.get(), shares.get(), plan,
                          {video_path, frames_name.get(), check_name.get(), encoded_rows, height,
                           width, num_frames, interpolation});
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
