#include "lorvex/tandry/loading/worker_memory_files.hpp"

#include <cerrno>
#include <string>
#include <system_error>

#include "lorvex/protocol/frame_table_file.hpp"
#include "lorvex/protocol/inherited_text.hpp"
#include "lorvex/protocol/names.hpp"

namespace lorvex::tandry {

namespace {

// Well inside the kernel's 128 KiB per item, leaving room for the other items' share of the
// total argument space.
constexpr Py_ssize_t kLongestItem = 100'000;

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

int WorkerMemoryFiles::add(std::string_view name, std::string_view content) {
    try {
        files_.push_back(new_memory_file(name, content));
    } catch (const std::system_error& error) {
        errno = error.code().value();
        PyErr_SetFromErrno(PyExc_OSError);
        py::throw_error_set();
    }
    return files_.back().get();
}

void WorkerMemoryFiles::add_frame_table(PyObject* video_path) {
    const py::Ref table = current_table(video_path);
    if (!table) return;
    add(names::kFrameTableFileName,
        std::string_view(PyBytes_AS_STRING(table.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(table.get()))));
}

py::Ref WorkerMemoryFiles::item_for(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) py::throw_error_set();
    if (size <= kLongestItem) return py::Ref::borrow(text);

    const int descriptor =
        add("lorvex-worker-item", std::string_view(data, static_cast<std::size_t>(size)));
    const std::string reference = inherited_text_reference(descriptor);
    return py::check(
        PyUnicode_FromStringAndSize(reference.data(), static_cast<Py_ssize_t>(reference.size())));
}

py::Ref WorkerMemoryFiles::pass_fds() const {
    if (files_.empty()) return {};
    py::Ref tuple = py::check(PyTuple_New(static_cast<Py_ssize_t>(files_.size())));
    for (std::size_t i = 0; i < files_.size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                         py::check(PyLong_FromLong(files_[i].get())).release());
    }
    return tuple;
}

}  // namespace lorvex::tandry
