// The Rows type: bytes of a load's memory lent to numpy (numpy.frombuffer), writable, owning
// their part of the mapping for as long as any view of them lives.
#include "lorvex/capi/boxed.hpp"
#include "lorvex/engine_module/objects.hpp"

namespace lorvex::engine_module {
namespace {

RowsData& data(PyObject* self) noexcept {
    return py::payload_of<RowsData>(self);
}

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    RowsData& rows = data(self);
    return PyBuffer_FillInfo(view, self, rows.memory->data() + rows.offset,
                             static_cast<Py_ssize_t>(rows.length), 0, flags);
}

Py_ssize_t length(PyObject* self) {
    return static_cast<Py_ssize_t>(data(self).length);
}

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_boxed<RowsData>)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {Py_sq_length, reinterpret_cast<void*>(length)},
    {Py_tp_doc, const_cast<char*>("Decoded rows in memory the decoders wrote; read them with "
                                  "numpy.frombuffer.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec rows_spec = {
    "lorvex._engine.Rows",
    py::boxed_size<RowsData>(),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

py::Ref make_rows(ModuleState& state, std::shared_ptr<engine::FrameMemory> memory,
                  std::size_t offset, std::size_t length, bool release_when_dropped) {
    return py::box(state.rows_type,
                   RowsData(std::move(memory), offset, length, release_when_dropped));
}

}  // namespace lorvex::engine_module
