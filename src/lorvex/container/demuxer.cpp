// The iterator demux() returns: packets of every stream, in file order.
#include "lorvex/capi/boxed.hpp"
#include "lorvex/capi/gil.hpp"
#include "lorvex/container/errors.hpp"
#include "lorvex/container/objects.hpp"

namespace lorvex::container {
namespace {

DemuxerData& data(PyObject* self) noexcept {
    return py::payload_of<DemuxerData>(self);
}

PyObject* next(PyObject* self) {
    return guarded([&]() -> py::Ref {
        DemuxerData& demuxer = data(self);
        if (demuxer.done) return {};
        Source& source = *demuxer.source;
        const PacketPass& pass =
            py::without_gil([&]() -> const PacketPass& { return source.packet_pass(); });
        if (demuxer.next == pass.packets.size()) {
            // The packets read before a failure come first; the failure ends the iteration
            // after raising once.
            demuxer.done = true;
            if (pass.failure) std::rethrow_exception(pass.failure);
            return {};
        }
        const LoggedPacket& logged = pass.packets[demuxer.next++];
        py::Ref stream = py::Ref::borrow(PyTuple_GET_ITEM(demuxer.streams.get(), logged.stream));
        return make_packet_object(reinterpret_cast<PyTypeObject*>(demuxer.packet_type.get()),
                                  std::move(stream), logged);
    });
}

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_boxed<DemuxerData>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(next)},
    {Py_tp_doc, const_cast<char*>("Iterator over a container's packets in file order.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec demuxer_spec = {
    "lorvex.container.Demuxer",
    py::boxed_size<DemuxerData>(),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

py::Ref make_demuxer(ModuleState& state, std::shared_ptr<Source> source, py::Ref streams) {
    DemuxerData demuxer{std::move(source), std::move(streams),
                        py::Ref::borrow(reinterpret_cast<PyObject*>(state.packet_type)), 0, false};
    return py::box(state.demuxer_type, std::move(demuxer));
}

}  // namespace lorvex::container
