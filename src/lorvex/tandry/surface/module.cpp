// The module object: creation (one interpreter per process), execution (the load steps that
// bind the namespace in order) and the lifetime of its state.
#include <atomic>
#include <cstdio>
#include <memory>

#include "lorvex/capi/entry.hpp"
#include "lorvex/tandry/surface/callables.hpp"
#include "lorvex/tandry/surface/method_object.hpp"
#include "lorvex/tandry/surface/module_state.hpp"

namespace lorvex::tandry {

namespace {

constexpr const char* module_name = "lorvex.tandry";

// ---- creation ----

void check_single_interpreter() {
    // Functions, method objects and the method type are shared process-wide, so the module
    // must stay in the interpreter that first created it.
    static std::atomic<std::int64_t> first_interpreter{-1};
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) py::throw_error_set();
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, current) && expected != current) {
        py::raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
    }
}

void copy_spec_attribute(PyObject* spec, PyObject* namespace_dict, const char* from, const char* to,
                         bool none_allowed) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_error_set();
        PyErr_Clear();
        return;
    }
    py::Ref owned = py::Ref::steal(value);
    if (value == Py_None && !none_allowed) return;
    py::check_status(PyDict_SetItemString(namespace_dict, to, value));
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    return py::guard([&] {
        check_single_interpreter();
        py::Ref name = py::getattr(spec, "name");
        py::Ref module = py::check(PyModule_NewObject(name.get()));
        PyObject* namespace_dict = PyModule_GetDict(module.get());
        copy_spec_attribute(spec, namespace_dict, "loader", "__loader__", true);
        copy_spec_attribute(spec, namespace_dict, "origin", "__file__", true);
        copy_spec_attribute(spec, namespace_dict, "parent", "__package__", true);
        copy_spec_attribute(spec, namespace_dict, "submodule_search_locations", "__path__", false);
        return module;
    });
}

// ---- execution ----

// "<folder of __file__>/bin", in the file system's encoding; "" without a __file__.
std::string worker_folder(PyObject* module) {
    PyObject* file = PyDict_GetItemString(PyModule_GetDict(module), "__file__");
    if (file == nullptr || !PyUnicode_Check(file)) return {};
    py::Ref encoded = py::check(PyUnicode_EncodeFSDefault(file));
    std::string path(PyBytes_AS_STRING(encoded.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return {};
    path.resize(slash + 1);
    path.append("bin");
    return path;
}

void warn_on_version_mismatch() {
    int major = 0;
    int minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return;
    if (major == LORVEX_BUILT_FOR_MAJOR && minor == LORVEX_BUILT_FOR_MINOR) return;
    py::check_status(PyErr_WarnFormat(
        PyExc_RuntimeWarning, 1,
        "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
        LORVEX_BUILT_FOR_MAJOR, LORVEX_BUILT_FOR_MINOR, module_name, "does not match", major,
        minor));
}

constexpr const char* builtin_names[] = {"AssertionError", "enumerate", "range", "round",
                                         "StopIteration"};
static_assert(std::size(builtin_names) == static_cast<std::size_t>(Builtin::count));

void look_up_builtins(ModuleState& data) {
    data.builtins_module = py::check(PyImport_ImportModule("builtins"));
    for (std::size_t i = 0; i < data.builtins.size(); ++i) {
        PyObject* value = PyObject_GetAttrString(data.builtins_module.get(), builtin_names[i]);
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_error_set();
            PyErr_Clear();
            py::Ref name = py::check(PyUnicode_FromString(builtin_names[i]));
            py::raise(PyExc_NameError, "name '%U' is not defined", name.get());
        }
        data.builtins[i] = py::Ref::steal(value);
    }
}

void bind(PyObject* module, const char* name, const py::Ref& value) {
    py::check_status(PyDict_SetItemString(PyModule_GetDict(module), name, value.get()));
}

// `import <name>` (absolute), or `from <name> import ...` when `fromlist` is given.
py::Ref import(PyObject* module, const char* name, const char* from_name = nullptr, int level = 0) {
    py::Ref fromlist;
    if (from_name != nullptr) {
        py::Ref item = py::check(PyUnicode_InternFromString(from_name));
        fromlist = py::check(PyTuple_Pack(1, item.get()));
    }
    return py::check(
        PyImport_ImportModuleLevel(name, PyModule_GetDict(module), nullptr, fromlist.get(), level));
}

py::Ref import_from(PyObject* source, const char* name) {
    PyObject* value = PyObject_GetAttrString(source, name);
    if (value != nullptr) return py::Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_error_set();
    PyErr_Clear();
    py::Ref text = py::check(PyUnicode_FromString(name));
    py::raise(PyExc_ImportError, "cannot import name %S", text.get());
}

// Module functions reach their table entry through a per-index trampoline, since a
// built-in function carries no data besides its `self` (the module).
template <std::size_t Index>
PyObject* module_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    const Callable& callable = module_functions()[Index];
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr || !state->executed || !state->function_defaults[Index]) {
        PyErr_SetString(PyExc_SystemError, "lorvex.tandry: module is not initialised");
        return nullptr;
    }
    return invoke(callable, module, state->function_defaults[Index].get(), args, nargs, kwnames);
}

template <std::size_t... Index>
std::array<PyMethodDef, sizeof...(Index)> make_method_defs(std::index_sequence<Index...>) {
    return {PyMethodDef{
        module_functions()[Index].qualname,
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_function<Index>)),
        METH_FASTCALL | METH_KEYWORDS, module_functions()[Index].doc}...};
}

// Built-in functions keep a pointer to their PyMethodDef for life.
std::array<PyMethodDef, module_function_count>& method_defs() {
    static std::array<PyMethodDef, module_function_count> defs =
        make_method_defs(std::make_index_sequence<module_function_count>());
    return defs;
}

void intern_global_names(ModuleState& state) {
    for (std::size_t i = 0; i < state.global_names.size(); ++i) {
        state.global_names[i] =
            py::check(PyUnicode_InternFromString(name_of(static_cast<Global>(i))));
    }
}

void bind_functions(PyObject* module, ModuleState& data) {
    py::Ref name = py::check(PyUnicode_InternFromString(module_name));
    for (std::size_t i = 0; i < module_function_count; ++i) {
        data.function_defaults[i] = make_defaults(module_functions()[i].signature);
        py::Ref function = py::check(PyCMethod_New(&method_defs()[i], module, name.get(), nullptr));
        bind(module, method_defs()[i].ml_name, function);
    }
}

void bind_class(PyObject* module, const ClassTable& table) {
    py::Ref class_namespace = py::check(PyDict_New());
    py::Ref module_name_object = py::check(PyUnicode_InternFromString(module_name));
    py::Ref name = py::check(PyUnicode_InternFromString(table.name));
    py::check_status(
        PyDict_SetItemString(class_namespace.get(), "__module__", module_name_object.get()));
    py::check_status(PyDict_SetItemString(class_namespace.get(), "__qualname__", name.get()));
    for (const Callable& method : table.methods) {
        py::Ref function = new_method(method, module);
        py::check_status(
            PyDict_SetItemString(class_namespace.get(), method.signature.name, function.get()));
    }
    py::Ref bases = py::check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    py::Ref cls = py::call(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(),
                           class_namespace.get());
    bind(module, table.name, cls);
}

// The slot Python zeroes when it makes the module: `executed` reads false until the state
// is built in place here.
ModuleState* slot_of(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

void execute(PyObject* module) {
    ModuleState* slot = slot_of(module);
    if (slot == nullptr) py::throw_error_set();
    if (slot->executed) {
        py::raise(PyExc_RuntimeError,
                  "Module 'tandry' has already been imported. Re-initialisation is not "
                  "supported.");
    }
    ModuleState& data = *std::construct_at(slot);
    data.executed = true;
    intern_global_names(data);

    warn_on_version_mismatch();
    ready_method_type();
    look_up_builtins(data);

    data.worker_folder = worker_folder(module);
    data.container_open = import_from(import(module, "container", "open", 1).get(), "open");
    bind(module, "open", data.container_open);
    bind(module, "bisect", import(module, "bisect"));
    bind(module, "shared_memory",
         import_from(import(module, "multiprocessing", "shared_memory").get(), "shared_memory"));
    bind(module, "np", import(module, "numpy"));
    bind(module, "subprocess", import(module, "subprocess"));
    bind(module, "base64", import(module, "base64"));
    bind(module, "pickle", import(module, "pickle"));
    bind(module, "time", import(module, "time"));
    bind_functions(module, data);
    bind_class(module, video_reader_class());
    bind_class(module, interleaved_reader_class());
    bind(module, "__test__", py::check(PyDict_New()));
}

int exec_module(PyObject* module) noexcept {
    py::Ref done = py::Ref::steal(py::guard([&] {
        execute(module);
        return py::Ref::borrow(Py_None);
    }));
    return done ? 0 : -1;
}

// ---- state lifetime ----

ModuleState* executed_state(PyObject* module) {
    ModuleState* state = slot_of(module);
    return state != nullptr && state->executed ? state : nullptr;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = executed_state(module);
    if (state == nullptr) return 0;
    Py_VISIT(state->builtins_module.get());
    for (const py::Ref& value : state->builtins) Py_VISIT(value.get());
    for (const py::Ref& value : state->function_defaults) Py_VISIT(value.get());
    Py_VISIT(state->container_open.get());
    return 0;
}

int clear_module(PyObject* module) {
    // The state itself stays until the module is freed: `executed` still refuses a second
    // execution. Interned names hold no references back to the module.
    if (ModuleState* state = executed_state(module)) {
        state->builtins_module = py::Ref();
        for (py::Ref& value : state->builtins) value = py::Ref();
        for (py::Ref& value : state->function_defaults) value = py::Ref();
        state->container_open = py::Ref();
    }
    return 0;
}

void free_module(void* module) {
    if (ModuleState* state = executed_state(static_cast<PyObject*>(module))) {
        std::destroy_at(state);
    }
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "tandry",        nullptr,      sizeof(ModuleState), nullptr,
    module_slots,          traverse_module, clear_module, free_module,
};

}  // namespace

}  // namespace lorvex::tandry

PyMODINIT_FUNC PyInit_tandry() {
    return PyModuleDef_Init(&lorvex::tandry::module_definition);
}
