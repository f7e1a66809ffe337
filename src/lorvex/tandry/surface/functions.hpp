// The bodies of the module's functions and methods. Each receives the module object and its
// arguments already bound: in parameter order, defaults filled in, exact-type rules checked
// (for methods, args[0] is self). The function table registers them.
#pragma once

#include <span>

#include "lorvex/capi/ref.hpp"

namespace lorvex::tandry {

using Args = std::span<PyObject* const>;

// Probing and planning.
py::Ref get_stats(PyObject* module, Args args);
py::Ref compute_parellelized_intervals(PyObject* module, Args args);
py::Ref estimate_frame_location(PyObject* module, Args args);

// Loaders.
py::Ref tandry_load(PyObject* module, Args args);
py::Ref split_by_stride(PyObject* module, Args args);
py::Ref tandry_interleaved_load(PyObject* module, Args args);

// framecount, __len__ and get_fps of both reader classes: answers from the stored record.
namespace reader {
py::Ref frame_count(PyObject* module, Args args);
py::Ref fps(PyObject* module, Args args);
}  // namespace reader

namespace video_reader {
py::Ref init(PyObject* module, Args args);
py::Ref get_batch(PyObject* module, Args args);
}  // namespace video_reader

namespace interleaved_reader {
py::Ref init(PyObject* module, Args args);
py::Ref process(PyObject* module, Args args);
py::Ref del(PyObject* module, Args args);
py::Ref all_loaded(PyObject* module, Args args);
py::Ref get_frames(PyObject* module, Args args);
py::Ref iter(PyObject* module, Args args);
py::Ref next(PyObject* module, Args args);
}  // namespace interleaved_reader

}  // namespace lorvex::tandry
