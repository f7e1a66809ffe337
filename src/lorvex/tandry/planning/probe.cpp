// get_stats: one demultiplexing pass over a video, no decoding.
#include "lorvex/tandry/surface/calls.hpp"
#include "lorvex/tandry/surface/checks.hpp"
#include "lorvex/tandry/surface/functions.hpp"
#include "lorvex/tandry/surface/namespace.hpp"

namespace lorvex::tandry {

py::Ref get_stats(PyObject* module, Args args) {
    PyObject* video_path = args[0];
    py::Ref container = py::call(global(module, Global::open).get(), video_path);
    py::Ref streams = py::getattr(container.get(), "streams");
    py::Ref video_streams = py::getattr(streams.get(), "video");
    py::Ref zero = py::check(PyLong_FromLong(0));
    py::Ref stream = py::check(PyObject_GetItem(video_streams.get(), zero.get()));
    py::Ref frame_count = py::getattr(stream.get(), "frames");
    if (assertions_enabled() && !compare_or_identical(frame_count.get(), zero.get(), Py_GT)) {
        fail_assertion(module, "The metadata reported that the video stream has 0 frames");
    }

    py::Ref keyframes = py::check(PyList_New(0));
    py::Ref end = py::check(PyLong_FromLong(-1));
    py::Ref start = py::check(PyFloat_FromDouble(Py_HUGE_VAL));
    py::Ref video = py::check(PyUnicode_InternFromString("video"));

    py::Ref demux = py::getattr(container.get(), "demux");
    py::Ref packets = py::check(PyObject_GetIter(py::call(demux.get()).get()));
    while (py::Ref packet = py::Ref::steal(PyIter_Next(packets.get()))) {
        py::Ref packet_stream = py::getattr(packet.get(), "stream");
        py::Ref type = py::getattr(packet_stream.get(), "type");
        if (compare_or_identical(type.get(), video.get(), Py_NE)) continue;
        py::Ref pts = py::getattr(packet.get(), "pts");
        if (pts.get() == Py_None) continue;
        if (compare_or_identical(pts.get(), end.get(), Py_GT)) end = pts;
        if (compare_or_identical(pts.get(), start.get(), Py_LT)) start = pts;
        py::Ref is_keyframe = py::getattr(packet.get(), "is_keyframe");
        if (py::check_status(PyObject_IsTrue(is_keyframe.get()))) {
            py::check_status(PyList_Append(keyframes.get(), pts.get()));
        }
    }
    if (PyErr_Occurred()) py::throw_error_set();

    py::Ref record = py::check(PyDict_New());
    py::check_status(PyDict_SetItemString(record.get(), "kf", keyframes.get()));
    py::check_status(PyDict_SetItemString(record.get(), "start", start.get()));
    py::check_status(PyDict_SetItemString(record.get(), "end", end.get()));
    py::check_status(PyDict_SetItemString(record.get(), "num_frames", frame_count.get()));
    // Read one after the other, each stored right after it is read.
    for (const auto& [attribute, key] : {std::pair{"height", "height"}, std::pair{"width", "width"},
                                         std::pair{"average_rate", "fps"}}) {
        py::Ref value = py::getattr(stream.get(), attribute);
        py::check_status(PyDict_SetItemString(record.get(), key, value.get()));
    }
    return record;
}

}  // namespace lorvex::tandry
