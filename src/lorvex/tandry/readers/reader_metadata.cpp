// framecount, __len__ and get_fps: the bodies both reader classes share, answered from the
// record the probe gave.
#include "lorvex/tandry/readers/reader_setup.hpp"
#include "lorvex/tandry/surface/functions.hpp"

namespace lorvex::tandry::reader {

py::Ref frame_count(PyObject*, Args args) {
    return metadata_item(args[0], "num_frames");
}

py::Ref fps(PyObject*, Args args) {
    return metadata_item(args[0], "fps");
}

}  // namespace lorvex::tandry::reader
