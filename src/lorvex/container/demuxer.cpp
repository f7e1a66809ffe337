// The iterator demux() returns: packets of every stream, in file order.
#include "lorvex/container/boxed.hpp"
#include "lorvex/container/errors.hpp"
#include "lorvex/container/gil.hpp"
#include "lorvex/container/objects.hpp"

namespace lorvex::container {
namespace {

DemuxerData& data(PyObject* self) noexcept {
    return payload_of<DemuxerData>(self);
}

// Marks the iterator busy while FFmpeg reads with the GIL released, so a second thread cannot
// enter the same format context.
class ReadingFlag {
  public:
    explicit ReadingFlag(bool& flag) : flag_(flag) {
        if (flag_)
            py::raise(PyExc_RuntimeError, "demux iterator is already reading in another thread");
        flag_ = true;
    }
    ~ReadingFlag() { flag_ = false; }
    ReadingFlag(const ReadingFlag&) = delete;
    ReadingFlag& operator=(const ReadingFlag&) = delete;

  private:
    bool& flag_;
};

// Reads packets until one belongs to a listed stream. False at the end of the file.
bool read_listed(DemuxerData& demuxer, Py_ssize_t stream_count) {
    ReadingFlag reading(demuxer.reading);
    return without_gil([&] {
        while (demuxer.file->read(demuxer.packet.get())) {
            // A stream found after opening has no Stream object: its packets are not offered.
            if (demuxer.packet->stream_index < stream_count) return true;
        }
        return false;
    });
}

PyObject* next(PyObject* self) {
    return guarded([&]() -> py::Ref {
        DemuxerData& demuxer = data(self);
        if (!demuxer.file) return {};
        bool more = false;
        try {
            more = read_listed(demuxer, PyTuple_GET_SIZE(demuxer.streams.get()));
        } catch (const AvError&) {
            demuxer.file.reset();  // a failed read ends the iteration after raising once
            throw;
        }
        if (!more) {
            // Close the file now rather than when the iterator goes.
            demuxer.file.reset();
            demuxer.packet.reset();
            return {};
        }
        py::Ref stream =
            py::Ref::borrow(PyTuple_GET_ITEM(demuxer.streams.get(), demuxer.packet->stream_index));
        py::Ref packet =
            make_packet_object(reinterpret_cast<PyTypeObject*>(demuxer.packet_type.get()),
                               std::move(stream), *demuxer.packet);
        av_packet_unref(demuxer.packet.get());
        return packet;
    });
}

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_boxed<DemuxerData>)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(next)},
    {Py_tp_doc, const_cast<char*>("Iterator over a container's packets in file order.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec demuxer_spec = {
    "lorvex.container.Demuxer",
    boxed_size<DemuxerData>(),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

py::Ref make_demuxer(ModuleState& state, std::shared_ptr<Source> source, py::Ref streams) {
    std::unique_ptr<MediaFile> file = source->take_opened();
    if (!file) file = without_gil([&] { return source->reopen(); });
    DemuxerData demuxer{std::move(source),
                        std::move(streams),
                        py::Ref::borrow(reinterpret_cast<PyObject*>(state.packet_type)),
                        std::move(file),
                        make_packet(),
                        false};
    return box(state.demuxer_type, std::move(demuxer));
}

}  // namespace lorvex::container
