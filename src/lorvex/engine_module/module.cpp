// lorvex._engine: lorvex's own loads. Warm decoders per open video, rows written once into
// memory that becomes the caller's array, and one wait; lorvex.Video and what is built on it
// call it with explicit arguments, checked beforehand by lorvex.options.
#include "lorvex/capi/entry.hpp"
#include "lorvex/engine_module/objects.hpp"

namespace lorvex::engine_module {
namespace {

int exec(PyObject* module) {
    PyObject* result = py::guard([&] {
        ModuleState& state = py::build_state<ModuleState>(module);
        state.session_type = py::add_type(module, session_spec);
        state.stream_type = py::add_type(module, stream_spec);
        state.rows_type = py::add_type(module, rows_spec);
        return py::Ref::borrow(Py_None);
    });
    return py::Ref::steal(result) ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "lorvex._engine",
    "lorvex's own loads: warm decoders, rows written once, one wait.",
    sizeof(ModuleState),
    nullptr,
    slots,
    py::traverse_state<ModuleState>,
    py::clear_state<ModuleState>,
    py::free_state<ModuleState>,
};

}  // namespace
}  // namespace lorvex::engine_module

PyMODINIT_FUNC PyInit__engine() {
    return PyModuleDef_Init(&lorvex::engine_module::definition);
}
