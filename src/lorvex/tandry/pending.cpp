// Entry points whose bodies are not written yet: each raises NotImplementedError so the
// module links and imports. Entries leave this file as they are implemented.
#include "lorvex/tandry/functions.hpp"

namespace lorvex::tandry {

namespace {
[[noreturn]] void not_implemented(const char* name) {
    py::raise(PyExc_NotImplementedError, "%s is not implemented yet", name);
}
}  // namespace

py::Ref tandry_load(PyObject*, Args) { not_implemented("tandry_load"); }
py::Ref split_by_stride(PyObject*, Args) { not_implemented("split_by_stride"); }
py::Ref tandry_interleaved_load(PyObject*, Args) { not_implemented("tandry_interleaved_load"); }

namespace video_reader {
py::Ref init(PyObject*, Args) { not_implemented("VideoReader.__init__"); }
py::Ref framecount(PyObject*, Args) { not_implemented("VideoReader.framecount"); }
py::Ref len(PyObject*, Args) { not_implemented("VideoReader.__len__"); }
py::Ref get_fps(PyObject*, Args) { not_implemented("VideoReader.get_fps"); }
py::Ref get_batch(PyObject*, Args) { not_implemented("VideoReader.get_batch"); }
}  // namespace video_reader

namespace interleaved_reader {
py::Ref init(PyObject*, Args) { not_implemented("InterleavedVideoReader.__init__"); }
py::Ref framecount(PyObject*, Args) { not_implemented("InterleavedVideoReader.framecount"); }
py::Ref len(PyObject*, Args) { not_implemented("InterleavedVideoReader.__len__"); }
py::Ref get_fps(PyObject*, Args) { not_implemented("InterleavedVideoReader.get_fps"); }
py::Ref process(PyObject*, Args) { not_implemented("InterleavedVideoReader.process"); }
py::Ref del(PyObject*, Args) { not_implemented("InterleavedVideoReader.__del__"); }
py::Ref all_loaded(PyObject*, Args) { not_implemented("InterleavedVideoReader.all_loaded"); }
py::Ref get_frames(PyObject*, Args) { not_implemented("InterleavedVideoReader.get_frames"); }
py::Ref iter(PyObject*, Args) { not_implemented("InterleavedVideoReader.__iter__"); }
py::Ref next(PyObject*, Args) { not_implemented("InterleavedVideoReader.__next__"); }
}  // namespace interleaved_reader

}  // namespace lorvex::tandry
