#include "lorvex/tandry/loading/block_lifecycle.hpp"

#include <sys/statvfs.h>

#include <optional>

#include "lorvex/capi/calls.hpp"
#include "lorvex/tandry/surface/namespace.hpp"

namespace lorvex::tandry {

namespace {
py::Ref shared_memory_class(PyObject* module) {
    py::Ref shared_memory = global(module, Global::shared_memory);
    return py::getattr(shared_memory.get(), "SharedMemory");
}
}  // namespace

py::Ref block_size(PyObject* np, PyObject* shape, PyObject* uint8) {
    py::Ref zeros = py::getattr(np, "zeros");
    py::Ref array = py::call_kw(zeros.get(), {shape}, {{"dtype", uint8}});
    return py::getattr(array.get(), "size");
}

void require_room(std::initializer_list<PyObject*> sizes) {
    // Where shm_open puts named blocks on Linux.
    constexpr const char* file_system = "/dev/shm";
    unsigned long long needed = 0;
    for (PyObject* size : sizes) {
        const unsigned long long bytes = PyLong_AsUnsignedLongLong(size);
        if (PyErr_Occurred()) py::throw_error_set();
        needed += bytes;
    }
    struct statvfs status {};
    if (statvfs(file_system, &status) != 0) return;
    const unsigned long long available =
        static_cast<unsigned long long>(status.f_bavail) * status.f_frsize;
    if (needed <= available) return;
    py::raise(PyExc_MemoryError,
              "this load needs %llu bytes of shared memory, but %s has only %llu bytes free",
              needed, file_system, available);
}

py::Ref create_block(PyObject* module, PyObject* size) {
    py::Ref factory = shared_memory_class(module);
    return py::call_kw(factory.get(), {}, {{"create", Py_True}, {"size", size}});
}

py::Ref attach_block(PyObject* module, PyObject* name) {
    py::Ref factory = shared_memory_class(module);
    return py::call_kw(factory.get(), {}, {{"name", name}, {"create", Py_False}});
}

py::Ref view_block(PyObject* module, PyObject* block, PyObject* shape, PyObject* dtype) {
    py::Ref np = global(module, Global::np);
    py::Ref ndarray = py::getattr(np.get(), "ndarray");
    py::Ref buffer = py::getattr(block, "buf");
    return py::call_kw(ndarray.get(), {shape}, {{"dtype", dtype}, {"buffer", buffer.get()}});
}

void remove_block(PyObject* block) {
    py::call_method(block, "close");
    py::call_method(block, "unlink");
}

void remove_blocks(std::initializer_list<PyObject*> blocks) {
    std::optional<py::SavedError> first;
    for (PyObject* block : blocks) {
        if (block == nullptr) continue;
        try {
            remove_block(block);
        } catch (const py::PyErrorSet&) {
            if (!first)
                first.emplace();
            else
                PyErr_WriteUnraisable(block);
        }
    }
    if (first) {
        first->restore();
        py::throw_error_set();
    }
}

void remove_block_named(PyObject* module, PyObject* name) {
    py::Ref block = attach_block(module, name);
    remove_block(block.get());
}

}  // namespace lorvex::tandry
