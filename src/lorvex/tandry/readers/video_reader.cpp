// VideoReader: one video probed once, loaded in one-shot batches.
#include "lorvex/capi/calls.hpp"
#include "lorvex/tandry/readers/reader_setup.hpp"
#include "lorvex/tandry/surface/functions.hpp"
#include "lorvex/tandry/surface/namespace.hpp"

namespace lorvex::tandry::video_reader {

py::Ref init(PyObject* module, Args args) {
    PyObject* self = args[0];
    py::set_attr(self, "video_path", args[1]);
    py::set_attr(self, "num_threads", args[4]);
    set_probe_and_size(module, self, args[1], args[2], args[3]);
    return py::Ref::borrow(Py_None);
}

py::Ref get_batch(PyObject* module, Args args) {
    PyObject* self = args[0];
    py::Ref load = global(module, Global::tandry_load);
    py::Ref video_path = py::getattr(self, "video_path");
    py::Ref height = py::getattr(self, "height");
    py::Ref width = py::getattr(self, "width");
    py::Ref num_threads = py::getattr(self, "num_threads");
    py::Ref metadata = py::getattr(self, "video_metadata");
    py::Ref interpolation = py::getattr(self, "interpolation");
    return py::call(load.get(), video_path.get(), args[1], height.get(), width.get(),
                    num_threads.get(), metadata.get(), interpolation.get());
}

}  // namespace lorvex::tandry::video_reader
