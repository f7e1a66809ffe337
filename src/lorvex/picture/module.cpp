// The lorvex._picture module: the picture format of a video's first video stream, for the
// package's metadata. Files are opened, and failures reported, as lorvex.container does.
#include <stdexcept>
#include <string>

#include "lorvex/container/errors.hpp"
#include "lorvex/container/gil.hpp"
#include "lorvex/picture/picture_format.hpp"

namespace lorvex::picture {
namespace {

// lorvex.container's translation, and ValueError for a file without a video stream.
bool translate_error(std::exception_ptr error) {
    if (container::translate_error(error)) return true;
    try {
        std::rethrow_exception(error);
    } catch (const std::invalid_argument& no_video) {
        PyErr_SetString(PyExc_ValueError, no_video.what());
        return true;
    } catch (...) {
        return false;
    }
}

py::Ref optional_text(const std::optional<std::string>& text) {
    if (!text) return py::Ref::borrow(Py_None);
    return py::check(
        PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size())));
}

py::Ref optional_int(const std::optional<int>& value) {
    if (!value) return py::Ref::borrow(Py_None);
    return py::check(PyLong_FromLong(*value));
}

PyObject* picture_format(PyObject*, PyObject* path) {
    return py::guard(
        [&] {
            PyObject* encoded = nullptr;
            if (!PyUnicode_FSConverter(path, &encoded)) py::throw_error_set();
            py::Ref bytes = py::Ref::steal(encoded);
            const std::string name = PyBytes_AS_STRING(bytes.get());
            const PictureFormat format = container::without_gil(
                [&] { return read_picture_format(container::MediaFile(name, name)); });
            py::Ref pixel_format = optional_text(format.pixel_format);
            py::Ref bit_depth = optional_int(format.bit_depth);
            py::Ref rotation = py::check(PyLong_FromLong(format.rotation));
            return py::check(PyTuple_Pack(3, pixel_format.get(), bit_depth.get(), rotation.get()));
        },
        translate_error);
}

PyMethodDef functions[] = {
    {"picture_format", picture_format, METH_O,
     "picture_format(path, /)\n--\n\n(pixel format name or None, bits per sample or None, "
     "clockwise rotation in degrees) of the first video stream. Raises OSError when the file "
     "cannot be reached, ValueError when FFmpeg cannot read it or it has no video stream."},
    {nullptr, nullptr, 0, nullptr},
};

int exec(PyObject*) {
    silence_ffmpeg_log();
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "lorvex._picture",
    "How a video's pictures are stored and meant to be shown.",
    0,
    functions,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace lorvex::picture

PyMODINIT_FUNC PyInit__picture() {
    return PyModuleDef_Init(&lorvex::picture::definition);
}
