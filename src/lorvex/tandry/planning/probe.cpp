// get_stats: one demultiplexing pass over a video, no decoding.
#include "lorvex/capi/calls.hpp"
#include "lorvex/tandry/surface/checks.hpp"
#include "lorvex/tandry/surface/functions.hpp"
#include "lorvex/tandry/surface/module_state.hpp"
#include "lorvex/tandry/surface/namespace.hpp"

namespace lorvex::tandry {

namespace {

struct PacketPart {
    py::Ref keyframes;
    py::Ref start;
    py::Ref end;
};

// The packets' part of the record from the package's own container, whose objects are of its
// own immutable types: its facts, made in C++ once per file and process (from an MP4/MOV
// index where it serves), give the values the loop below makes of its packet objects, in
// the same types.
PacketPart summarise_packets(PyObject* container) {
    py::Ref summarise = py::getattr(container, "_video_summary");
    py::Ref summary = py::call(summarise.get());
    if (!PyTuple_Check(summary.get()) || PyTuple_GET_SIZE(summary.get()) != 3) {
        py::raise(PyExc_SystemError, "lorvex.container: unexpected packet summary");
    }
    return {py::Ref::borrow(PyTuple_GET_ITEM(summary.get(), 0)),
            py::Ref::borrow(PyTuple_GET_ITEM(summary.get(), 1)),
            py::Ref::borrow(PyTuple_GET_ITEM(summary.get(), 2))};
}

// Every packet of the container, one object each, as the library hands them out.
PacketPart read_packets(PyObject* container) {
    PacketPart part{py::check(PyList_New(0)), py::check(PyFloat_FromDouble(Py_HUGE_VAL)),
                    py::check(PyLong_FromLong(-1))};
    py::Ref video = py::check(PyUnicode_InternFromString("video"));

    py::Ref demux = py::getattr(container, "demux");
    py::Ref packets = py::check(PyObject_GetIter(py::call(demux.get()).get()));
    while (py::Ref packet = py::Ref::steal(PyIter_Next(packets.get()))) {
        py::Ref packet_stream = py::getattr(packet.get(), "stream");
        py::Ref type = py::getattr(packet_stream.get(), "type");
        if (py::compare_or_identical(type.get(), video.get(), Py_NE)) continue;
        py::Ref pts = py::getattr(packet.get(), "pts");
        if (pts.get() == Py_None) continue;
        if (py::compare_or_identical(pts.get(), part.end.get(), Py_GT)) part.end = pts;
        if (py::compare_or_identical(pts.get(), part.start.get(), Py_LT)) part.start = pts;
        py::Ref is_keyframe = py::getattr(packet.get(), "is_keyframe");
        if (py::check_status(PyObject_IsTrue(is_keyframe.get()))) {
            py::check_status(PyList_Append(part.keyframes.get(), pts.get()));
        }
    }
    if (PyErr_Occurred()) py::throw_error_set();
    return part;
}

}  // namespace

py::Ref get_stats(PyObject* module, Args args) {
    PyObject* video_path = args[0];
    py::Ref open = global(module, Global::open);
    const bool own_library = open.get() == module_state(module).container_open.get();
    py::Ref container = py::call(open.get(), video_path);
    py::Ref streams = py::getattr(container.get(), "streams");
    py::Ref video_streams = py::getattr(streams.get(), "video");
    py::Ref zero = py::check(PyLong_FromLong(0));
    py::Ref stream = py::check(PyObject_GetItem(video_streams.get(), zero.get()));
    py::Ref frame_count = py::getattr(stream.get(), "frames");
    if (assertions_enabled() && !py::compare_or_identical(frame_count.get(), zero.get(), Py_GT)) {
        fail_assertion(module, "The metadata reported that the video stream has 0 frames");
    }

    const PacketPart packets =
        own_library ? summarise_packets(container.get()) : read_packets(container.get());

    py::Ref record = py::check(PyDict_New());
    py::check_status(PyDict_SetItemString(record.get(), "kf", packets.keyframes.get()));
    py::check_status(PyDict_SetItemString(record.get(), "start", packets.start.get()));
    py::check_status(PyDict_SetItemString(record.get(), "end", packets.end.get()));
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
