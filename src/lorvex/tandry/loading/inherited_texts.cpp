#include "lorvex/tandry/loading/inherited_texts.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "lorvex/protocol/frame_format.hpp"
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

void InheritedTexts::add_frame_table(PyObject* video_path, PyObject* given) {
    const py::Ref table = given != nullptr && PyBytes_Check(given) ? py::Ref::borrow(given)
                                                                   : current_table(video_path);
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

void InheritedTexts::add_frame_format(const FrameFormat& format) {
    if (format == FrameFormat{}) return;
    const std::string encoded = encode_frame_format(format);
    memory_file(names::kFrameFormatFileName.data(), encoded.data(),
                static_cast<Py_ssize_t>(encoded.size()));
}

void InheritedTexts::pass_along(const std::vector<int>& descriptors) {
    passed_along_.insert(passed_along_.end(), descriptors.begin(), descriptors.end());
}

py::Ref InheritedTexts::pass_fds() const {
    std::vector<int> all = descriptors_;
    all.insert(all.end(), passed_along_.begin(), passed_along_.end());
    if (all.empty()) return {};
    py::Ref tuple = py::check(PyTuple_New(static_cast<Py_ssize_t>(all.size())));
    for (std::size_t i = 0; i < all.size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                         py::check(PyLong_FromLong(all[i])).release());
    }
    return tuple;
}

}  // namespace lorvex::tandry
