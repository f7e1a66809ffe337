// The Container type: one opened file, its streams, and demux() over its packets.
#include <algorithm>
#include <string>

#include "lorvex/capi/boxed.hpp"
#include "lorvex/capi/gil.hpp"
#include "lorvex/container/errors.hpp"
#include "lorvex/container/objects.hpp"

namespace lorvex::container {
namespace {

ContainerData& data(PyObject* self) noexcept {
    return py::payload_of<ContainerData>(self);
}

PyObject* get_streams(PyObject* self, void*) {
    return guarded([&] { return data(self).streams; });
}

PyObject* get_name(PyObject* self, void*) {
    return guarded([&] { return data(self).name; });
}

PyObject* get_format_name(PyObject* self, void*) {
    return guarded(
        [&] { return py::check(PyUnicode_FromString(data(self).source->format_name().c_str())); });
}

PyObject* demux(PyObject* self, PyObject*) {
    return guarded([&] {
        ContainerData& container = data(self);
        return make_demuxer(state_of(self), container.source, container.all);
    });
}

// What get_stats reads of the packets of every video stream, made without a Python object
// per packet: (keyframe timestamps in packet order, smallest timestamp or float("inf"),
// largest timestamp or -1).
PyObject* video_summary(PyObject* self, PyObject*) {
    return guarded([&] {
        Source& source = *data(self).source;
        const ProbeFacts& facts =
            py::without_gil([&]() -> const ProbeFacts& { return source.facts(); });
        if (facts.failure) std::rethrow_exception(facts.failure);
        const VideoPackets& packets = facts.video_packets;
        py::Ref keyframes =
            py::check(PyList_New(static_cast<Py_ssize_t>(packets.keyframes.size())));
        for (std::size_t i = 0; i < packets.keyframes.size(); ++i) {
            PyList_SET_ITEM(keyframes.get(), static_cast<Py_ssize_t>(i),
                            py::check(PyLong_FromLongLong(packets.keyframes[i])).release());
        }
        py::Ref start = packets.counted ? py::check(PyLong_FromLongLong(packets.lowest))
                                        : py::check(PyFloat_FromDouble(Py_HUGE_VAL));
        py::Ref end = py::check(PyLong_FromLongLong(
            packets.counted ? std::max<std::int64_t>(packets.highest, -1) : -1));
        return py::check(PyTuple_Pack(3, keyframes.get(), start.get(), end.get()));
    });
}

PyObject* repr(PyObject* self) {
    return guarded([&] {
        const ContainerData& container = data(self);
        return py::check(PyUnicode_FromFormat("<lorvex.container.Container %R format=%s>",
                                              container.name.get(),
                                              container.source->format_name().c_str()));
    });
}

PyGetSetDef getset[] = {
    {"streams", get_streams, nullptr, "The file's streams (a Streams view).", nullptr},
    {"name", get_name, nullptr, "The path the container was opened with.", nullptr},
    {"format_name", get_format_name, nullptr, "FFmpeg's name for the file's format.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"demux", demux, METH_NOARGS,
     "demux($self, /)\n--\n\nAn iterator over the packets of all streams in file order, from the "
     "first "
     "packet. Packets are only read, never decoded."},
    {"_video_summary", video_summary, METH_NOARGS,
     "_video_summary($self, /)\n--\n\n(keyframe timestamps in packet order, smallest timestamp "
     "or float('inf'), largest timestamp or -1) of the packets of every video stream that carry "
     "a timestamp: what get_stats reads of demux(), from the probe's facts."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_boxed<ContainerData>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("A media file opened for probing: its streams and packets.")},
    {0, nullptr},
};

// The path for FFmpeg (bytes in the file system's encoding) and for people (str).
struct PathNames {
    py::Ref encoded;
    py::Ref shown;
};

PathNames path_names(PyObject* path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) py::throw_error_set();
    PathNames names{py::Ref::steal(encoded), {}};
    PyObject* shown = nullptr;
    if (!PyUnicode_FSDecoder(path, &shown)) py::throw_error_set();
    names.shown = py::Ref::steal(shown);
    return names;
}

}  // namespace

std::string file_system_path(PyObject* path) {
    return PyBytes_AS_STRING(path_names(path).encoded.get());
}

PyType_Spec container_spec = {
    "lorvex.container.Container",
    py::boxed_size<ContainerData>(),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

py::Ref open_container(ModuleState& state, PyObject* path, PyObject* name) {
    PathNames names = path_names(path);
    std::string url = PyBytes_AS_STRING(names.encoded.get());
    const std::string said = name == nullptr ? url : file_system_path(name);
    auto source = py::without_gil([&] { return state.sources.open(url, said); });

    const auto& infos = source->streams();
    py::Ref all = py::check(PyTuple_New(static_cast<Py_ssize_t>(infos.size())));
    for (const StreamInfo& info : infos) {
        PyTuple_SET_ITEM(all.get(), info.index, make_stream(state, source, info).release());
    }
    py::Ref streams = make_streams(state, all);
    return py::box(state.container_type, ContainerData{std::move(source), std::move(names.shown),
                                                       std::move(streams), std::move(all)});
}

}  // namespace lorvex::container
