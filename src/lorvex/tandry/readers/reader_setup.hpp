// What both reader classes do alike: probe once, fix the output size, answer from the record.
#pragma once

#include "lorvex/capi/ref.hpp"

namespace lorvex::tandry {

// self.video_metadata = get_stats(video_path); self.height / self.width = the arguments
// when greater than 0, else the record's; self.interpolation = "BILINEAR".
void set_probe_and_size(PyObject* module, PyObject* self, PyObject* video_path, PyObject* height,
                        PyObject* width);

// self.video_metadata[key]
py::Ref metadata_item(PyObject* self, const char* key);

}  // namespace lorvex::tandry
