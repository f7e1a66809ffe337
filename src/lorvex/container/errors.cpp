#include "lorvex/container/errors.hpp"

#include <cstring>
#include <string>

#include "lorvex/container/media_file.hpp"

namespace lorvex::container {
namespace {

// Paths reach FFmpeg in the file system's encoding; decoding them the same way gives back the
// str the caller passed, undecodable bytes included.
py::Ref decode_path(const std::string& text) {
    return py::check(
        PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

void set_file_access_error(const FileAccessError& error) {
    // OSError(errno, strerror, filename) picks the subclass for errno, as open() does.
    const int number = error.errno_value();
    py::Ref filename = decode_path(error.path());
    py::Ref arguments =
        py::check(Py_BuildValue("(isO)", number, std::strerror(number), filename.get()));
    py::Ref exception = py::check(PyObject_Call(PyExc_OSError, arguments.get(), nullptr));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
}

}  // namespace

bool translate_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const FileAccessError& access) {
        try {
            set_file_access_error(access);
        } catch (const py::PyErrorSet&) {
        }
        return true;
    } catch (const AvError& failure) {
        try {
            PyErr_SetObject(PyExc_ValueError, decode_path(failure.what()).get());
        } catch (const py::PyErrorSet&) {
        }
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace lorvex::container
