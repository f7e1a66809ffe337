// The Session type: the engine's side of one open video. It holds the video's warm decoders
// and starts its loads: one-shot (load) or taken a chunk at a time (stream).
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string_view>

#include "lorvex/capi/boxed.hpp"
#include "lorvex/capi/entry.hpp"
#include "lorvex/engine_module/objects.hpp"
#include "lorvex/protocol/frame_table_file.hpp"
#include "lorvex/protocol/interpolation_names.hpp"

namespace lorvex::engine_module {
namespace {

SessionData& data(PyObject* self) noexcept {
    return py::payload_of<SessionData>(self);
}

std::string text_of(PyObject* text, const char* what) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    if (bytes == nullptr) {
        PyErr_Clear();
        py::raise(PyExc_TypeError, "%s: expected a str", what);
    }
    return std::string(bytes, static_cast<std::size_t>(size));
}

// A path in the file system's encoding, as the decoders open it.
std::string path_of(PyObject* path) {
    py::Ref encoded = py::check(PyUnicode_EncodeFSDefault(path));
    return std::string(PyBytes_AS_STRING(encoded.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

// The frames of a request: a C-contiguous buffer of int64 (a numpy array), distinct and
// increasing, inside the video.
std::vector<std::int64_t> frames_of(PyObject* frames, std::int64_t count) {
    Py_buffer view{};
    py::check_status(PyObject_GetBuffer(frames, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT));
    const struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    const std::string_view format = view.format != nullptr ? view.format : "B";
    if (view.itemsize != 8 ||
        (format != "q" && format != "l" && format != "<q" && format != "=q")) {
        py::raise(PyExc_TypeError, "frames: expected an array of int64");
    }
    std::vector<std::int64_t> numbers(static_cast<std::size_t>(view.len / 8));
    std::memcpy(numbers.data(), view.buf, numbers.size() * 8);
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (numbers[i] < 0 || numbers[i] >= count || (i > 0 && numbers[i] <= numbers[i - 1])) {
            py::raise(PyExc_ValueError,
                      "frames: expected distinct frame numbers of the video (0 to %lld) in "
                      "increasing order",
                      static_cast<long long>(count - 1));
        }
    }
    return numbers;
}

std::optional<double> seconds_of(PyObject* timeout) {
    if (timeout == Py_None) return std::nullopt;
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) py::throw_error_set();
    if (!(seconds > 0)) py::raise(PyExc_ValueError, "timeout: expected a positive number or None");
    return seconds;
}

// The arguments every load takes, load() and stream() alike: what to decode, how each row is
// laid out, and how long to wait.
struct LoadArguments {
    PyObject* frames = nullptr;
    int height = 0;
    int width = 0;
    const char* layout = nullptr;
    const char* dtype = nullptr;
    int quarter_turns = 0;
    const char* interpolation = nullptr;
    PyObject* timeout = Py_None;
};

// The load request of `given`, checked: an open session with its table, at least one frame,
// a known layout, sample type, turn and interpolation.
engine::LoadRequest request_of(SessionData& session, const LoadArguments& given) {
    if (session.closed)
        py::raise(PyExc_ValueError, "%s: the video is closed", session.names.name.c_str());
    if (!session.pool->has_table()) py::raise(PyExc_ValueError, "no frame table set");
    engine::LoadRequest request;
    request.frames = frames_of(given.frames, session.pool->table().size());
    if (given.height <= 0 || given.width <= 0)
        py::raise(PyExc_ValueError, "height and width must be positive");
    request.height = given.height;
    request.width = given.width;
    const std::string_view layout_name(given.layout);
    const std::string_view sample(given.dtype);
    if ((layout_name != "NCHW" && layout_name != "NHWC") ||
        (sample != "uint8" && sample != "uint16") || given.quarter_turns < 0 ||
        given.quarter_turns > 3) {
        py::raise(PyExc_ValueError, "unknown layout %s, dtype %s or %d quarter turns", given.layout,
                  given.dtype, given.quarter_turns);
    }
    request.format.layout = layout_name == "NHWC" ? FrameLayout::pixels : FrameLayout::planes;
    request.format.sample_bytes = sample == "uint16" ? 2 : 1;
    request.format.quarter_turns = given.quarter_turns;
    request.interpolation = given.interpolation;
    try {
        require_interpolation_name(request.interpolation);
    } catch (const std::invalid_argument& unknown) {
        py::raise(PyExc_ValueError, "%s", unknown.what());
    }
    request.decoders = session.decoders;
    if (request.frames.empty()) py::raise(PyExc_ValueError, "frames: nothing to load");
    return request;
}

// Starts a load; a failure to start (no decoder service, say) says the video's name.
std::unique_ptr<engine::Load> start(SessionData& session, engine::LoadRequest request) {
    try {
        return std::make_unique<engine::Load>(session.pool, std::move(request));
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        py::raise(PyExc_RuntimeError, "%s: %s", session.names.name.c_str(),
                  session.names.named(error.what()).c_str());
    }
}

// A remote video's new channel for a decoder: `open()` returns a descriptor that is the
// caller's to close. Called with the GIL held (a load starts, or a session does).
std::function<Descriptor()> channel_opener(py::Ref open) {
    return [open = std::move(open)] {
        py::Ref given = py::call(open.get());
        const long descriptor = PyLong_AsLong(given.get());
        if (descriptor == -1 && PyErr_Occurred()) py::throw_error_set();
        if (descriptor < 3 || descriptor > INT_MAX) {
            py::raise(PyExc_ValueError, "channel: %ld is not a descriptor to hand over",
                      descriptor);
        }
        return Descriptor(static_cast<int>(descriptor));
    };
}

// ---- the type -----------------------------------------------------------------------------

PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guard([&] {
        static const char* keywords[] = {"path",     "name",    "folder", "inherited",
                                         "decoders", "channel", nullptr};
        PyObject* path = nullptr;
        PyObject* name = nullptr;
        PyObject* folder = nullptr;
        PyObject* inherited = nullptr;
        int decoders = 1;
        PyObject* channel = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "$UUUOiO:Session",
                                         const_cast<char**>(keywords), &path, &name, &folder,
                                         &inherited, &decoders, &channel)) {
            py::throw_error_set();
        }
        if (channel != Py_None && !PyCallable_Check(channel)) {
            py::raise(PyExc_TypeError, "channel: expected a callable or None");
        }
        if (decoders < 1) py::raise(PyExc_ValueError, "decoders: expected a positive integer");
        SessionData session;
        session.names = {path_of(path), text_of(name, "name")};
        engine::WarmRequest request;
        request.folder = path_of(folder);
        request.video_path = session.names.path;
        py::Ref sequence = py::check(PySequence_Fast(inherited, "inherited: expected a tuple"));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
            const long descriptor = PyLong_AsLong(PySequence_Fast_GET_ITEM(sequence.get(), i));
            if (descriptor == -1 && PyErr_Occurred()) py::throw_error_set();
            if (descriptor < 3 || descriptor > INT_MAX ||
                fcntl(static_cast<int>(descriptor), F_GETFD) < 0) {
                py::raise(PyExc_ValueError, "inherited: %ld is not an open descriptor", descriptor);
            }
            request.descriptors.push_back(static_cast<int>(descriptor));
        }
        if (channel != Py_None) request.open_channel = channel_opener(py::Ref::borrow(channel));
        session.decoders = decoders;
        session.pool = std::make_shared<engine::DecoderPool>(std::move(request),
                                                             static_cast<std::size_t>(decoders));
        // The first decoder opens the video while the caller probes it.
        try {
            session.pool->start_one();
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& error) {
            py::raise(PyExc_RuntimeError, "%s: %s", session.names.name.c_str(), error.what());
        }
        return py::box(type, std::move(session));
    });
}

PyObject* set_frame_table(PyObject* self, PyObject* table) {
    return py::guard([&] {
        SessionData& session = data(self);
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(table, &bytes, &size) != 0) py::throw_error_set();
        if (session.pool->has_table())
            py::raise(PyExc_ValueError, "the frame table is set already");
        auto probed = std::make_shared<engine::ProbedTable>();
        probed->encoded.assign(bytes, static_cast<std::size_t>(size));
        try {
            probed->table = decode_frame_table(probed->encoded).table;
        } catch (const std::invalid_argument& refused) {
            py::raise(PyExc_ValueError, "frame_table: %s", refused.what());
        }
        if (probed->table.size() > INT32_MAX) {
            py::raise(PyExc_ValueError, "%s: too many frames", session.names.name.c_str());
        }
        session.pool->set_table(std::move(probed));
        return py::Ref::borrow(Py_None);
    });
}

PyObject* load(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard([&] {
        static const char* keywords[] = {"frames",        "height",  "width",
                                         "layout",        "dtype",   "quarter_turns",
                                         "interpolation", "timeout", nullptr};
        LoadArguments given;
        if (!PyArg_ParseTupleAndKeywords(
                args, kwargs, "O$iissisO:load", const_cast<char**>(keywords), &given.frames,
                &given.height, &given.width, &given.layout, &given.dtype, &given.quarter_turns,
                &given.interpolation, &given.timeout)) {
            py::throw_error_set();
        }
        SessionData& session = data(self);
        engine::Deadline deadline;
        deadline.seconds = seconds_of(given.timeout);
        engine::LoadRequest request = request_of(session, given);
        const std::unique_ptr<engine::Load> running = start(session, std::move(request));
        wait_for_rows(*running, 0, static_cast<std::int64_t>(running->request().frames.size()),
                      deadline, session.names, "the load did not finish within");
        const std::shared_ptr<engine::FrameMemory>& memory = running->memory();
        return make_rows(state_of(self), memory, 0,
                         running->request().frames.size() * running->row_bytes(), false);
    });
}

PyObject* stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard([&] {
        static const char* keywords[] = {"frames",   "height",        "width",         "layout",
                                         "dtype",    "quarter_turns", "interpolation", "chunk",
                                         "in_order", "timeout",       nullptr};
        LoadArguments given;
        Py_ssize_t chunk = 0;
        int in_order = 1;
        if (!PyArg_ParseTupleAndKeywords(
                args, kwargs, "O$iissisnpO:stream", const_cast<char**>(keywords), &given.frames,
                &given.height, &given.width, &given.layout, &given.dtype, &given.quarter_turns,
                &given.interpolation, &chunk, &in_order, &given.timeout)) {
            py::throw_error_set();
        }
        if (chunk < 1) py::raise(PyExc_ValueError, "chunk: expected a positive integer");
        SessionData& session = data(self);
        StreamData stream;
        stream.timeout = seconds_of(given.timeout);
        engine::LoadRequest request = request_of(session, given);
        request.stream =
            engine::LoadRequest::Stream{static_cast<std::size_t>(chunk), in_order != 0};
        stream.names = session.names;
        stream.session = py::Ref::borrow(self);
        stream.load = start(session, std::move(request));
        return py::box(state_of(self).stream_type, std::move(stream));
    });
}

PyObject* close(PyObject* self, PyObject*) {
    return py::guard([&] {
        SessionData& session = data(self);
        session.closed = true;
        session.pool->close();
        return py::Ref::borrow(Py_None);
    });
}

PyObject* get_closed(PyObject* self, void*) {
    return py::Ref::borrow(data(self).closed ? Py_True : Py_False).release();
}

PyMethodDef methods[] = {
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load)),
     METH_VARARGS | METH_KEYWORDS,
     "load(frames, *, height, width, layout, dtype, quarter_turns, interpolation, timeout)\n--\n\n"
     "Decodes `frames` (int64, distinct, increasing) and returns their rows once all are "
     "written, in one Rows."},
    {"stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream)),
     METH_VARARGS | METH_KEYWORDS,
     "stream(frames, *, height, width, layout, dtype, quarter_turns, interpolation, chunk, "
     "in_order, timeout)\n--\n\nStarts decoding `frames` and returns the Stream whose take() "
     "hands the rows out while decoding goes on."},
    {"set_frame_table", set_frame_table, METH_O,
     "set_frame_table($self, table, /)\n--\n\nThe video's frame table (bytes of "
     "lorvex.container._frame_table), which every load plans with; set once, before loads."},
    {"close", close, METH_NOARGS,
     "close($self, /)\n--\n\nEnds the idle decoders; the session loads nothing more."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"closed", get_closed, nullptr, "Whether close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(create)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_boxed<SessionData>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc,
     const_cast<char*>("Session(*, path, name, folder, inherited, decoders, channel)"
                       "\n--\n\n"
                       "One open video's warm decoders, the first started at once; "
                       "set_frame_table() before the first load. `folder` holds the decoder "
                       "program; `inherited` are descriptors the decoders need under the same "
                       "numbers; `channel`, for a remote video, makes each decoder the channel "
                       "it reads the video through (a callable returning a descriptor to hand "
                       "over).")},
    {0, nullptr},
};

}  // namespace

PyType_Spec session_spec = {
    "lorvex._engine.Session", py::boxed_size<SessionData>(), 0, Py_TPFLAGS_DEFAULT, slots,
};

}  // namespace lorvex::engine_module
