// The Stream type: what the container says about one stream, and its frame count.
#include "lorvex/capi/boxed.hpp"
#include "lorvex/capi/gil.hpp"
#include "lorvex/container/errors.hpp"
#include "lorvex/container/objects.hpp"
#include "lorvex/container/timestamp.hpp"

namespace lorvex::container {
namespace {

StreamData& data(PyObject* self) noexcept {
    return py::payload_of<StreamData>(self);
}

// A rational FFmpeg leaves at 0/0 (or 0/x, x/0) means "not known".
py::Ref fraction_or_none(ModuleState& state, AVRational value) {
    if (value.num == 0 || value.den == 0) return py::Ref::borrow(Py_None);
    py::Ref num = py::check(PyLong_FromLong(value.num));
    py::Ref den = py::check(PyLong_FromLong(value.den));
    return py::call(state.fraction, num.get(), den.get());
}

const PacketPass& packet_pass(Source& source) {
    return py::without_gil([&]() -> const PacketPass& { return source.packet_pass(); });
}

// The frame table of a video stream, from the probe's facts.
const FrameTable& frame_table(const StreamData& stream) {
    Source& source = *stream.source;
    const ProbeFacts& facts =
        py::without_gil([&]() -> const ProbeFacts& { return source.facts(); });
    if (facts.failure) std::rethrow_exception(facts.failure);
    const auto slot = static_cast<std::size_t>(stream.info.index);
    if (slot < facts.tables.size() && facts.tables[slot]) return *facts.tables[slot];
    // A video stream the facts do not cover (they cover every one they were made for).
    const PacketPass& pass = packet_pass(source);
    if (pass.failure) std::rethrow_exception(pass.failure);
    return *pass.tables[slot];
}

// A video stream's frames are the pictures of its frame table. Other streams count what the
// container records, or their packets where it records nothing. A file that could not be read
// to its end has no trustworthy count.
std::int64_t frame_count(const StreamData& stream) {
    const StreamInfo& info = stream.info;
    if (info.type == AVMEDIA_TYPE_VIDEO) return frame_table(stream).size();
    if (info.recorded_frames > 0) return info.recorded_frames;
    const PacketPass& pass = packet_pass(*stream.source);
    if (pass.failure) std::rethrow_exception(pass.failure);
    const auto slot = static_cast<std::size_t>(info.index);
    return slot < pass.packet_counts.size() ? pass.packet_counts[slot] : 0;
}

PyObject* get_type(PyObject* self, void*) {
    return guarded([&] { return data(self).type_name; });
}

PyObject* get_index(PyObject* self, void*) {
    return guarded([&] { return py::check(PyLong_FromLong(data(self).info.index)); });
}

PyObject* get_frames(PyObject* self, void*) {
    return guarded([&] { return py::check(PyLong_FromLongLong(frame_count(data(self)))); });
}

PyObject* get_frame_timestamps(PyObject* self, void*) {
    return guarded([&] {
        StreamData& stream = data(self);
        if (stream.info.type != AVMEDIA_TYPE_VIDEO) return py::Ref::borrow(Py_None);
        const std::vector<std::int64_t>& timestamps = frame_table(stream).timestamps;
        py::Ref tuple = py::check(PyTuple_New(static_cast<Py_ssize_t>(timestamps.size())));
        for (std::size_t i = 0; i < timestamps.size(); ++i) {
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                             py::check(PyLong_FromLongLong(timestamps[i])).release());
        }
        return tuple;
    });
}

PyObject* get_has_timestamps(PyObject* self, void*) {
    return guarded([&] {
        StreamData& stream = data(self);
        if (stream.info.type != AVMEDIA_TYPE_VIDEO) return py::Ref::borrow(Py_None);
        return py::Ref::borrow(frame_table(stream).by_position ? Py_False : Py_True);
    });
}

PyObject* get_width(PyObject* self, void*) {
    return guarded([&] { return py::check(PyLong_FromLong(data(self).info.width)); });
}

PyObject* get_height(PyObject* self, void*) {
    return guarded([&] { return py::check(PyLong_FromLong(data(self).info.height)); });
}

PyObject* get_average_rate(PyObject* self, void*) {
    return guarded([&] { return data(self).average_rate; });
}

PyObject* get_time_base(PyObject* self, void*) {
    return guarded([&] { return data(self).time_base; });
}

PyObject* get_duration(PyObject* self, void*) {
    return guarded([&] { return timestamp_or_none(data(self).info.duration); });
}

PyObject* get_start_time(PyObject* self, void*) {
    return guarded([&] { return timestamp_or_none(data(self).info.start_time); });
}

PyObject* get_codec_name(PyObject* self, void*) {
    return guarded([&] {
        return py::check(PyUnicode_FromString(avcodec_get_name(data(self).info.codec_id)));
    });
}

PyObject* repr(PyObject* self) {
    return guarded([&] {
        const StreamData& stream = data(self);
        const StreamInfo& info = stream.info;
        if (info.type == AVMEDIA_TYPE_VIDEO) {
            return py::check(PyUnicode_FromFormat("<lorvex.container.Stream #%d video %s %dx%d>",
                                                  info.index, avcodec_get_name(info.codec_id),
                                                  info.width, info.height));
        }
        return py::check(PyUnicode_FromFormat("<lorvex.container.Stream #%d %U %s>", info.index,
                                              stream.type_name.get(),
                                              avcodec_get_name(info.codec_id)));
    });
}

PyGetSetDef getset[] = {
    {"type", get_type, nullptr,
     "\"video\", \"audio\", \"subtitle\", \"data\", \"attachment\" or \"unknown\".", nullptr},
    {"index", get_index, nullptr, "The stream's index in its container.", nullptr},
    {"frames", get_frames, nullptr,
     "For video, the number of pictures a full decode shows (the frame table's length); for "
     "other streams the count the container records, else the packet count. Made from one "
     "pass over the packets, on first use.",
     nullptr},
    {"frame_timestamps", get_frame_timestamps, nullptr,
     "For video, the presentation time of each picture a full decode shows, in order, in "
     "time_base units: frame i is shown at frame_timestamps[i]. None for other streams.",
     nullptr},
    {"has_timestamps", get_has_timestamps, nullptr,
     "For video, False where the file gives the packets no timestamps (a raw elementary "
     "stream): a decode of the whole stream numbered its pictures, frame_timestamps[i] is i "
     "frame durations, and each packet's pts is its picture's. None for other streams.",
     nullptr},
    {"width", get_width, nullptr, "Frame width in pixels (0 if not video).", nullptr},
    {"height", get_height, nullptr, "Frame height in pixels (0 if not video).", nullptr},
    {"average_rate", get_average_rate, nullptr,
     "Average frame rate (fractions.Fraction), or None when not known.", nullptr},
    {"time_base", get_time_base, nullptr, "Unit of the stream's timestamps (fractions.Fraction).",
     nullptr},
    {"duration", get_duration, nullptr, "Duration in time_base units, or None when not known.",
     nullptr},
    {"start_time", get_start_time, nullptr,
     "First presentation time in time_base units, or None when not known.", nullptr},
    {"codec_name", get_codec_name, nullptr, "FFmpeg's name for the stream's codec.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_boxed<StreamData>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("One stream of a container. Keeps the container's file open.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec stream_spec = {
    "lorvex.container.Stream",
    py::boxed_size<StreamData>(),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

py::Ref make_stream(ModuleState& state, std::shared_ptr<Source> source, const StreamInfo& info) {
    const char* type_name = av_get_media_type_string(info.type);
    StreamData stream{std::move(source), info,
                      py::check(PyUnicode_InternFromString(type_name ? type_name : "unknown")),
                      fraction_or_none(state, info.average_rate),
                      fraction_or_none(state, info.time_base)};
    return py::box(state.stream_type, std::move(stream));
}

}  // namespace lorvex::container
