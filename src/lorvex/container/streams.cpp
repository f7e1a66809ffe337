// The Streams view: every stream of a container, by index, and the streams of each kind.
#include "lorvex/capi/boxed.hpp"
#include "lorvex/container/errors.hpp"
#include "lorvex/container/objects.hpp"

namespace lorvex::container {
namespace {

StreamsData& data(PyObject* self) noexcept {
    return py::payload_of<StreamsData>(self);
}

// The streams of `all` whose media type is `type`, in file order.
py::Ref of_type(PyObject* all, AVMediaType type) {
    py::Ref selected = py::check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(all); ++i) {
        PyObject* stream = PyTuple_GET_ITEM(all, i);
        if (py::payload_of<StreamData>(stream).info.type == type) {
            py::check_status(PyList_Append(selected.get(), stream));
        }
    }
    return py::check(PyList_AsTuple(selected.get()));
}

PyObject* get_all(PyObject* self, void*) {
    return guarded([&] { return data(self).all; });
}
PyObject* get_video(PyObject* self, void*) {
    return guarded([&] { return data(self).video; });
}
PyObject* get_audio(PyObject* self, void*) {
    return guarded([&] { return data(self).audio; });
}
PyObject* get_subtitles(PyObject* self, void*) {
    return guarded([&] { return data(self).subtitles; });
}
PyObject* get_data(PyObject* self, void*) {
    return guarded([&] { return data(self).data; });
}

Py_ssize_t length(PyObject* self) {
    return PyTuple_GET_SIZE(data(self).all.get());
}

PyObject* subscript(PyObject* self, PyObject* key) {
    return PyObject_GetItem(data(self).all.get(), key);
}

PyObject* iter(PyObject* self) {
    return PyObject_GetIter(data(self).all.get());
}

PyObject* repr(PyObject* self) {
    return guarded([&] {
        const StreamsData& streams = data(self);
        return py::check(PyUnicode_FromFormat(
            "<lorvex.container.Streams %zd video, %zd audio, %zd subtitles, %zd data, %zd in all>",
            PyTuple_GET_SIZE(streams.video.get()), PyTuple_GET_SIZE(streams.audio.get()),
            PyTuple_GET_SIZE(streams.subtitles.get()), PyTuple_GET_SIZE(streams.data.get()),
            PyTuple_GET_SIZE(streams.all.get())));
    });
}

PyGetSetDef getset[] = {
    {"all", get_all, nullptr, "Every stream, by index (tuple).", nullptr},
    {"video", get_video, nullptr, "The video streams in file order (tuple).", nullptr},
    {"audio", get_audio, nullptr, "The audio streams in file order (tuple).", nullptr},
    {"subtitles", get_subtitles, nullptr, "The subtitle streams in file order (tuple).", nullptr},
    {"data", get_data, nullptr, "The data streams in file order (tuple).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_boxed<StreamsData>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_iter, reinterpret_cast<void*>(iter)},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_mp_subscript, reinterpret_cast<void*>(subscript)},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("A container's streams: len, iteration and indexing cover "
                                  "all of them; .video, .audio, ... select by kind.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec streams_spec = {
    "lorvex.container.Streams",
    py::boxed_size<StreamsData>(),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

py::Ref make_streams(ModuleState& state, py::Ref all) {
    PyObject* streams = all.get();
    StreamsData view{{},
                     of_type(streams, AVMEDIA_TYPE_VIDEO),
                     of_type(streams, AVMEDIA_TYPE_AUDIO),
                     of_type(streams, AVMEDIA_TYPE_SUBTITLE),
                     of_type(streams, AVMEDIA_TYPE_DATA)};
    view.all = std::move(all);
    return py::box(state.streams_type, std::move(view));
}

}  // namespace lorvex::container
