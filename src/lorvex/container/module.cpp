// The lorvex.container module: open() and the types it hands out.
#include <cerrno>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "lorvex/capi/gil.hpp"
#include "lorvex/container/errors.hpp"
#include "lorvex/container/objects.hpp"
#include "lorvex/container/picture_format.hpp"
#include "lorvex/container/source_state.hpp"
#include "lorvex/media/frame_scan.hpp"
#include "lorvex/media/mp4_index.hpp"
#include "lorvex/media/remote_input.hpp"
#include "lorvex/protocol/remote_video.hpp"

namespace lorvex::container {
namespace {

PyObject* open(PyObject* module, PyObject* path) {
    return guarded([&] { return open_container(module_state(module), path, nullptr); });
}

// A file and how messages call it: from the arguments (path[, name]) of `function`, the path
// itself when no name is given.
struct NamedPath {
    std::string url;
    std::string name;
};

NamedPath named_path(const char* function, PyObject* const* args, Py_ssize_t count) {
    if (count < 1 || count > 2) py::raise(PyExc_TypeError, "%s(path, name=None, /)", function);
    NamedPath named{file_system_path(args[0]), {}};
    named.name = count == 2 && args[1] != Py_None ? file_system_path(args[1]) : named.url;
    return named;
}

PyObject* open_named(PyObject* module, PyObject* const* args, Py_ssize_t count) {
    return guarded([&] {
        if (count != 2) py::raise(PyExc_TypeError, "_open_named(path, name, /)");
        return open_container(module_state(module), args[0], args[1]);
    });
}

int first_video_stream_of(const Source& source) {
    for (const StreamInfo& info : source.streams()) {
        if (info.type == AVMEDIA_TYPE_VIDEO) return info.index;
    }
    return -1;
}

// The module's translation, and ValueError for a file without a video stream.
bool translate_no_video(std::exception_ptr error) {
    if (translate_error(error)) return true;
    try {
        std::rethrow_exception(error);
    } catch (const std::invalid_argument& no_video) {
        PyErr_SetString(PyExc_ValueError, no_video.what());
        return true;
    } catch (...) {
        return false;
    }
}

// The encoded frame table of the file's first video stream, as the loaders hand it to the
// worker programs: remembered from this process's last pass over the unchanged file, or made
// now by one.
PyObject* frame_table(PyObject* module, PyObject* const* args, Py_ssize_t count) {
    return py::guard(
        [&] {
            const NamedPath file = named_path("_frame_table", args, count);
            KnownSources& sources = module_state(module).sources;
            const std::string encoded = py::without_gil([&] {
                const std::optional<FileIdentity> identity = identify_file(file.url);
                if (!identity) throw FileAccessError(AVERROR(ENOENT), "open", file.name);
                if (std::optional<std::string> known = sources.tables().find(file.url, *identity)) {
                    return std::move(*known);
                }
                const std::shared_ptr<Source> source = sources.open(file.url, file.name);
                const ProbeFacts& facts = source->facts();
                if (facts.failure) std::rethrow_exception(facts.failure);
                const int first_video = first_video_stream_of(*source);
                if (first_video < 0)
                    throw std::invalid_argument(file.name + " has no video stream");
                return encode_frame_table(
                    {source->identity().value_or(*identity), *facts.tables[first_video]});
            });
            return py::check(
                PyBytes_FromStringAndSize(encoded.data(), static_cast<Py_ssize_t>(encoded.size())));
        },
        translate_no_video);
}

py::Ref text_or_none(const std::optional<std::string>& text) {
    if (!text) return py::Ref::borrow(Py_None);
    return py::check(
        PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size())));
}

py::Ref int_or_none(const std::optional<int>& value) {
    if (!value) return py::Ref::borrow(Py_None);
    return py::check(PyLong_FromLong(*value));
}

// How the pictures of the first video stream are stored and meant to be shown, for the
// package's metadata.
PyObject* picture_format(PyObject* module, PyObject* const* args, Py_ssize_t count) {
    return py::guard(
        [&] {
            const NamedPath file = named_path("_picture_format", args, count);
            KnownSources& sources = module_state(module).sources;
            const PictureFormat format = py::without_gil([&] {
                const std::optional<PictureFormat> found =
                    sources.open(file.url, file.name)->picture_format();
                if (!found) throw std::invalid_argument(file.name + " has no video stream");
                return *found;
            });
            py::Ref pixel_format = text_or_none(format.pixel_format);
            py::Ref bit_depth = int_or_none(format.bit_depth);
            py::Ref rotation = py::check(PyLong_FromLong(format.rotation));
            return py::check(PyTuple_Pack(3, pixel_format.get(), bit_depth.get(), rotation.get()));
        },
        translate_no_video);
}

// For the tests: the table of the first video stream made from the file's index (bytes, as
// _frame_table), or why the index does not serve (str); or, with from_index false, made by
// the packet pass of a worker program.
PyObject* build_frame_table(PyObject*, PyObject* const* args, Py_ssize_t count) {
    return guarded([&] {
        if (count != 2) py::raise(PyExc_TypeError, "_build_frame_table(path, from_index)");
        const std::string url = file_system_path(args[0]);
        const int from_index = py::check_status(PyObject_IsTrue(args[1]));
        std::optional<std::string> declined;
        const std::string encoded = py::without_gil([&]() -> std::string {
            const std::optional<FileIdentity> identity = identify_file(url);
            if (!identity) throw FileAccessError(AVERROR(ENOENT), "open", url);
            if (!from_index) {
                return encode_frame_table({*identity, scan_frame_table(url, TableSource::packets)});
            }
            const UniqueFormatContext format =
                open_video_input(url, url, lorvex::StreamInfo::header_when_complete);
            IndexedTable indexed = index_frame_table(*format, url);
            if (!indexed.table) {
                declined = indexed.declined;
                return {};
            }
            return encode_frame_table({*identity, std::move(*indexed.table)});
        });
        if (declined) return text_or_none(declined);
        return py::check(
            PyBytes_FromStringAndSize(encoded.data(), static_cast<Py_ssize_t>(encoded.size())));
    });
}

// The probe this process made of the file as it is now, as bytes for another process; None
// when it has made none (nothing is probed here).
PyObject* probe_state(PyObject* module, PyObject* path) {
    return guarded([&] {
        const std::string url = file_system_path(path);
        const KnownSources& sources = module_state(module).sources;
        const std::optional<std::string> encoded =
            py::without_gil([&]() -> std::optional<std::string> {
                const std::shared_ptr<Source> source = sources.find(url);
                if (!source) return std::nullopt;
                const std::optional<SourceState> state = source->state();
                if (!state) return std::nullopt;
                return encode_source_state(*state);
            });
        if (!encoded) return py::Ref::borrow(Py_None);
        return py::check(
            PyBytes_FromStringAndSize(encoded->data(), static_cast<Py_ssize_t>(encoded->size())));
    });
}

// Keeps a probe made by another process (bytes of _probe_state) when its file is unchanged;
// whether it is kept. Bytes that are not a probe state raise ValueError.
PyObject* adopt_probe_state(PyObject* module, PyObject* state) {
    return guarded([&] {
        KnownSources& sources = module_state(module).sources;
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(state, &data, &size) != 0) py::throw_error_set();
        const std::string_view bytes(data, static_cast<std::size_t>(size));
        bool kept = false;
        try {
            kept = py::without_gil([&] { return sources.adopt(decode_source_state(bytes)); });
        } catch (const std::invalid_argument& refused) {
            py::raise(PyExc_ValueError, "%s", refused.what());
        }
        return py::Ref::borrow(kept ? Py_True : Py_False);
    });
}

// A remote video is read in this process through `channel` (a descriptor now the module's), the
// locator naming it (protocol/remote_video.hpp).
PyObject* use_channel(PyObject*, PyObject* const* args, Py_ssize_t count) {
    return guarded([&] {
        if (count != 2) py::raise(PyExc_TypeError, "_use_channel(locator, channel)");
        const std::string locator = file_system_path(args[0]);
        const long channel = PyLong_AsLong(args[1]);
        if (channel == -1 && PyErr_Occurred()) py::throw_error_set();
        if (!remote_video::parse_locator(locator)) {
            py::raise(PyExc_ValueError, "_use_channel: not a remote video's locator");
        }
        register_remote_channel(locator, Descriptor(static_cast<int>(channel)));
        return py::Ref::borrow(Py_None);
    });
}

PyObject* forget_channel(PyObject*, PyObject* locator) {
    return guarded([&] {
        forget_remote_channel(file_system_path(locator));
        return py::Ref::borrow(Py_None);
    });
}

int exec(PyObject* module) {
    silence_ffmpeg_log();
    PyObject* result = guarded([&] {
        ModuleState& state = py::build_state<ModuleState>(module);
        py::Ref fractions = py::check(PyImport_ImportModule("fractions"));
        state.fraction = py::getattr(fractions.get(), "Fraction").release();
        state.container_type = py::add_type(module, container_spec);
        state.streams_type = py::add_type(module, streams_spec);
        state.stream_type = py::add_type(module, stream_spec);
        state.packet_type = py::add_type(module, packet_spec);
        state.demuxer_type = py::add_type(module, demuxer_spec);
        return py::Ref::borrow(Py_None);
    });
    return py::Ref::steal(result) ? 0 : -1;
}

PyMethodDef functions[] = {
    {"open", open, METH_O,
     "open(path, /)\n--\n\nOpens a media file (str, bytes or os.PathLike) for probing. Raises "
     "FileNotFoundError, PermissionError, ... when the file cannot be reached and ValueError "
     "when FFmpeg cannot read it."},
    {"_open_named", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_named)),
     METH_FASTCALL,
     "_open_named(path, name, /)\n--\n\nOpens the file as open() does; messages call it "
     "`name`."},
    {"_frame_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(frame_table)),
     METH_FASTCALL,
     "_frame_table(path, name=None, /)\n--\n\nThe frame table of the file's first video "
     "stream, encoded for the worker programs. Raises OSError when the file cannot be reached, "
     "ValueError when FFmpeg cannot read it or it has no video stream, naming the file `name`."},
    {"_build_frame_table",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_frame_table)), METH_FASTCALL,
     "_build_frame_table(path, from_index, /)\n--\n\nThe frame table of the first video stream "
     "made now from the file's index (bytes), or why the index does not serve (str); with "
     "from_index false, by a pass over the packets."},
    {"_probe_state", probe_state, METH_O,
     "_probe_state(path, /)\n--\n\nThe probe this process made of the file as it is now, as "
     "bytes another process can adopt; None when it made none."},
    {"_adopt_probe_state", adopt_probe_state, METH_O,
     "_adopt_probe_state(state, /)\n--\n\nKeeps the probe another process made (bytes of "
     "_probe_state) when its file is still as it was; whether it is kept."},
    {"_picture_format", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(picture_format)),
     METH_FASTCALL,
     "_picture_format(path, name=None, /)\n--\n\n(pixel format name or None, bits per sample "
     "or None, clockwise rotation in degrees) of the first video stream. Raises OSError when "
     "the file cannot be reached, ValueError when FFmpeg cannot read it or it has no video "
     "stream, naming the file `name`."},
    {"_use_channel", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(use_channel)),
     METH_FASTCALL,
     "_use_channel(locator, channel, /)\n--\n\nFrom now on the remote video `locator` names is "
     "read through the channel (a descriptor, now the module's)."},
    {"_forget_channel", forget_channel, METH_O,
     "_forget_channel(locator, /)\n--\n\nThe remote video's channel is closed once no reader "
     "uses it."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "lorvex.container",
    "Probing media files with libavformat: streams and packets, never decoded frames.",
    sizeof(ModuleState),
    functions,
    slots,
    py::traverse_state<ModuleState>,
    py::clear_state<ModuleState>,
    py::free_state<ModuleState>,
};

}  // namespace
}  // namespace lorvex::container

PyMODINIT_FUNC PyInit_container() {
    return PyModuleDef_Init(&lorvex::container::definition);
}
