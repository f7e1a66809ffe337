#include "lorvex/tandry/readers/reader_setup.hpp"

#include "lorvex/capi/calls.hpp"
#include "lorvex/tandry/surface/functions.hpp"
#include "lorvex/tandry/surface/namespace.hpp"

namespace lorvex::tandry {

namespace {
void set_size(PyObject* self, const char* name, PyObject* given) {
    py::Ref zero = py::new_int(0);
    if (py::compare(given, zero.get(), Py_GT)) {
        py::set_attr(self, name, given);
        return;
    }
    py::set_attr(self, name, metadata_item(self, name).get());
}
}  // namespace

void set_probe_and_size(PyObject* module, PyObject* self, PyObject* video_path, PyObject* height,
                        PyObject* width) {
    py::Ref get_stats = global(module, Global::get_stats);
    py::Ref record = py::call(get_stats.get(), video_path);
    py::set_attr(self, "video_metadata", record.get());
    set_size(self, "height", height);
    set_size(self, "width", width);
    py::Ref bilinear = py::check(PyUnicode_FromString("BILINEAR"));
    py::set_attr(self, "interpolation", bilinear.get());
}

py::Ref metadata_item(PyObject* self, const char* key) {
    py::Ref record = py::getattr(self, "video_metadata");
    return py::get_item(record.get(), key);
}

}  // namespace lorvex::tandry
