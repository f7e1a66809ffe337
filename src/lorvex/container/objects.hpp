// The module's Python types: their data, their specs and how the C++ side makes instances.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "lorvex/container/module_state.hpp"
#include "lorvex/container/source.hpp"

namespace lorvex::container {

struct ContainerData {
    std::shared_ptr<Source> source;
    py::Ref name;     // the path as the caller gave it (str)
    py::Ref streams;  // the Streams view
    py::Ref all;      // tuple of every Stream, by index

    ContainerData(std::shared_ptr<Source> source_, py::Ref name_, py::Ref streams_, py::Ref all_)
        : source(std::move(source_)),
          name(std::move(name_)),
          streams(std::move(streams_)),
          all(std::move(all_)) {}
    ContainerData(ContainerData&&) noexcept = default;
    ContainerData& operator=(ContainerData&&) = delete;
    // The Source outlives the container in this process's memory of opened files; its file
    // need not (streams that still need it open it again).
    ~ContainerData() {
        if (source) source->release_file();
    }
};

struct StreamsData {
    py::Ref all;
    py::Ref video;
    py::Ref audio;
    py::Ref subtitles;
    py::Ref data;
};

// Streams share the Source, not the Container object: that keeps the file alive without a
// reference cycle through the container's tuple of streams.
struct StreamData {
    std::shared_ptr<Source> source;
    StreamInfo info;
    py::Ref type_name;
    py::Ref average_rate;  // Fraction or None
    py::Ref time_base;     // Fraction or None
};

struct PacketData {
    py::Ref stream;
    std::int64_t pts;
    std::int64_t dts;
    int size;
    bool is_keyframe;
};

struct DemuxerData {
    std::shared_ptr<Source> source;
    py::Ref streams;       // tuple of every Stream, by index
    py::Ref packet_type;   // PyTypeObject of the packets made
    std::size_t next = 0;  // the packet of the pass to hand out next
    bool done = false;     // every packet handed out, and a failure raised if there was one
};

extern PyType_Spec container_spec;
extern PyType_Spec streams_spec;
extern PyType_Spec stream_spec;
extern PyType_Spec packet_spec;
extern PyType_Spec demuxer_spec;

// `path` (str, bytes or os.PathLike) as bytes in the file system's encoding.
std::string file_system_path(PyObject* path);

// Opens `path` (str, bytes or os.PathLike) into a Container whose messages call the file
// `name` (the path when null).
py::Ref open_container(ModuleState& state, PyObject* path, PyObject* name);

// A Stream object for one of the source's streams.
py::Ref make_stream(ModuleState& state, std::shared_ptr<Source> source, const StreamInfo& info);

// The Streams view over a tuple of Stream objects.
py::Ref make_streams(ModuleState& state, py::Ref all);

// An iterator over the packets of the source's file, from the first.
py::Ref make_demuxer(ModuleState& state, std::shared_ptr<Source> source, py::Ref streams);

py::Ref make_packet_object(PyTypeObject* type, py::Ref stream, const LoggedPacket& packet);

}  // namespace lorvex::container
