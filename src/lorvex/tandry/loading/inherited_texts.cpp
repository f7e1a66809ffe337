#include "lorvex/tandry/loading/inherited_texts.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "lorvex/protocol/frame_table_file.hpp"
#include "lorvex/protocol/inherited_text.hpp"
#include "lorvex/protocol/names.hpp"

namespace lorvex::tandry {

namespace {

// Well inside the kernel's 128 KiB per item, leaving room for the other items' share of the
// total argument space.
constexpr Py_ssize_t kLongestItem = 100'000;

void write_all(int descriptor, const char* data, Py_ssize_t size) {
    while (size > 0) {
        const ssize_t written = write(descriptor, data, static_cast<std::size_t>(size));
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) {
            PyErr_SetFromErrno(PyExc_OSError);
            py::throw_error_set();
        }
        data += written;
        size -= written;
    }
}

// lorvex.container's table of the file as it is now (remembered from the probe, or made now);
// an empty Ref when it cannot be had.
py::Ref current_table(PyObject* video_path) {
    try {
        py::Ref container = py::check(PyImport_ImportModule("lorvex.container"));
        py::Ref make_table = py::getattr(container.get(), "_frame_table");
        py::Ref table = py::call(make_table.get(), video_path);
        if (PyBytes_Check(table.get())) return table;
    } catch (const py::PyErrorSet&) {
        if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) throw;
        PyErr_Clear();
    }
    return {};
}

}  // namespace

InheritedTexts::~InheritedTexts() {
    for (const int descriptor : descriptors_) close(descriptor);
}

int InheritedTexts::memory_file(const char* name, const char* data, Py_ssize_t size) {
    const int descriptor = memfd_create(name, MFD_CLOEXEC);
    if (descriptor < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        py::throw_error_set();
    }
    descriptors_.push_back(descriptor);
    write_all(descriptor, data, size);
    return descriptor;
}

void InheritedTexts::add_frame_table(PyObject* video_path) {
    const py::Ref table = current_table(video_path);
    if (!table) return;
    memory_file(names::kFrameTableFileName.data(), PyBytes_AS_STRING(table.get()),
                PyBytes_GET_SIZE(table.get()));
}

py::Ref InheritedTexts::item_for(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) py::throw_error_set();
    if (size <= kLongestItem) return py::Ref::borrow(text);

    const int descriptor = memory_file("lorvex-worker-item", data, size);
    const std::string reference = inherited_text_reference(descriptor);
    return py::check(
        PyUnicode_FromStringAndSize(reference.data(), static_cast<Py_ssize_t>(reference.size())));
}

py::Ref InheritedTexts::pass_fds() const {
    if (descriptors_.empty()) return {};
    py::Ref tuple = py::check(PyTuple_New(static_cast<Py_ssize_t>(descriptors_.size())));
    for (std::size_t i = 0; i < descriptors_.size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                         py::check(PyLong_FromLong(descriptors_[i])).release());
    }
    return tuple;
}

}  // namespace lorvex::tandry
