#include "lorvex/tandry/shared_blocks.hpp"

#include <optional>

#include "lorvex/tandry/calls.hpp"
#include "lorvex/tandry/namespace.hpp"

namespace lorvex::tandry {

namespace {
py::Ref shared_memory_class(PyObject* module) {
    py::Ref shared_memory = global(module, "shared_memory");
    return py::getattr(shared_memory.get(), "SharedMemory");
}
}  // namespace

py::Ref create_block(PyObject* module, PyObject* size) {
    py::Ref factory = shared_memory_class(module);
    return call_kw(factory.get(), {}, {{"create", Py_True}, {"size", size}});
}

py::Ref attach_block(PyObject* module, PyObject* name) {
    py::Ref factory = shared_memory_class(module);
    return call_kw(factory.get(), {}, {{"name", name}, {"create", Py_False}});
}

py::Ref view_block(PyObject* module, PyObject* block, PyObject* shape, PyObject* dtype) {
    py::Ref np = global(module, "np");
    py::Ref ndarray = py::getattr(np.get(), "ndarray");
    py::Ref buffer = py::getattr(block, "buf");
    return call_kw(ndarray.get(), {shape}, {{"dtype", dtype}, {"buffer", buffer.get()}});
}

void remove_block(PyObject* block) {
    call_method(block, "close");
    call_method(block, "unlink");
}

void remove_blocks(std::initializer_list<PyObject*> blocks) {
    std::optional<SavedError> first;
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
