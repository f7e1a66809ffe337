// lorvex._engine: lorvex's own loads. Warm decoders per open video, rows written once into
// memory that becomes the caller's array, and one wait; lorvex.Video and what is built on it
// call it with explicit arguments, checked beforehand by lorvex.options.
#include "lorvex/capi/entry.hpp"
#include "lorvex/engine_module/objects.hpp"

namespace lorvex::engine_module {
namespace {

PyTypeObject* add_type(PyObject* module, PyType_Spec& spec) {
    py::Ref type = py::check(PyType_FromModuleAndSpec(module, &spec, nullptr));
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    py::check_status(PyModule_AddType(module, type_object));
    return reinterpret_cast<PyTypeObject*>(type.release());
}

int exec(PyObject* module) {
    PyObject* result = py::guard([&] {
        ModuleState& state = module_state(module);
        state.session_type = add_type(module, session_spec);
        state.stream_type = add_type(module, stream_spec);
        state.rows_type = add_type(module, rows_spec);
        return py::Ref::borrow(Py_None);
    });
    return py::Ref::steal(result) ? 0 : -1;
}

int traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState& state = module_state(module);
    Py_VISIT(state.session_type);
    Py_VISIT(state.stream_type);
    Py_VISIT(state.rows_type);
    return 0;
}

int clear(PyObject* module) {
    ModuleState& state = module_state(module);
    Py_CLEAR(state.session_type);
    Py_CLEAR(state.stream_type);
    Py_CLEAR(state.rows_type);
    return 0;
}

void free_module(void* module) {
    clear(static_cast<PyObject*>(module));
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
    traverse,
    clear,
    free_module,
};

}  // namespace
}  // namespace lorvex::engine_module

PyMODINIT_FUNC PyInit__engine() {
    return PyModuleDef_Init(&lorvex::engine_module::definition);
}
