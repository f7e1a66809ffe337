// The Packet type: where and when one demuxed packet sits. Its data is never copied.
#include "lorvex/capi/boxed.hpp"
#include "lorvex/container/errors.hpp"
#include "lorvex/container/objects.hpp"
#include "lorvex/container/timestamp.hpp"

namespace lorvex::container {
namespace {

PacketData& data(PyObject* self) noexcept {
    return py::payload_of<PacketData>(self);
}

PyObject* get_stream(PyObject* self, void*) {
    return guarded([&] { return data(self).stream; });
}

PyObject* get_pts(PyObject* self, void*) {
    return guarded([&] { return timestamp_or_none(data(self).pts); });
}

PyObject* get_dts(PyObject* self, void*) {
    return guarded([&] { return timestamp_or_none(data(self).dts); });
}

PyObject* get_is_keyframe(PyObject* self, void*) {
    return guarded([&] { return py::Ref::borrow(data(self).is_keyframe ? Py_True : Py_False); });
}

PyObject* get_size(PyObject* self, void*) {
    return guarded([&] { return py::check(PyLong_FromLong(data(self).size)); });
}

PyObject* repr(PyObject* self) {
    return guarded([&] {
        const PacketData& packet = data(self);
        py::Ref pts = timestamp_or_none(packet.pts);
        py::Ref dts = timestamp_or_none(packet.dts);
        return py::check(PyUnicode_FromFormat(
            "<lorvex.container.Packet stream=%d pts=%R dts=%R size=%d%s>",
            py::payload_of<StreamData>(packet.stream.get()).info.index, pts.get(), dts.get(),
            packet.size, packet.is_keyframe ? " keyframe" : ""));
    });
}

PyGetSetDef getset[] = {
    {"stream", get_stream, nullptr, "The Stream the packet belongs to.", nullptr},
    {"pts", get_pts, nullptr,
     "Presentation time in the stream's time_base, or None. Where the container stores only "
     "decode times, the dts stands in; in a video stream without timestamps (see "
     "Stream.has_timestamps), the time of the picture the packet shows.",
     nullptr},
    {"dts", get_dts, nullptr, "Decode time in the stream's time_base, or None.", nullptr},
    {"is_keyframe", get_is_keyframe, nullptr, "Whether decoding can start at this packet.",
     nullptr},
    {"size", get_size, nullptr, "Size of the packet's data in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_boxed<PacketData>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("One demuxed packet: its stream, timestamps, size and "
                                  "whether it is a keyframe.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec packet_spec = {
    "lorvex.container.Packet",
    py::boxed_size<PacketData>(),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

py::Ref make_packet_object(PyTypeObject* type, py::Ref stream, const LoggedPacket& packet) {
    return py::box(
        type, PacketData{std::move(stream), packet.pts, packet.dts, packet.size, packet.keyframe});
}

}  // namespace lorvex::container
