#include "lorvex/tandry/surface/method_object.hpp"

#include <cstddef>
#include <new>
#include <string_view>

#include "lorvex/capi/entry.hpp"

namespace lorvex::tandry {

namespace {

struct MethodObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const Callable* callable;
    py::Ref module;
    py::Ref name;
    py::Ref qualname;
    py::Ref doc;
    py::Ref module_name;
    py::Ref defaults;
    py::Ref annotations;
};

MethodObject* as_method(PyObject* object) {
    return reinterpret_cast<MethodObject*>(object);
}

PyObject* method_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    MethodObject* method = as_method(self);
    if (!method->module) {  // cleared by the garbage collector while breaking a cycle
        PyErr_Format(PyExc_SystemError, "%s called after teardown", method->callable->qualname);
        return nullptr;
    }
    return invoke(*method->callable, method->module.get(), method->defaults.get(), args,
                  PyVectorcall_NARGS(nargsf), kwnames);
}

PyObject* method_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    MethodObject* method = as_method(self);
    Py_VISIT(method->module.get());
    Py_VISIT(method->defaults.get());
    Py_VISIT(method->annotations.get());
    return 0;
}

int method_clear(PyObject* self) {
    MethodObject* method = as_method(self);
    method->module = py::Ref();
    method->defaults = py::Ref();
    method->annotations = py::Ref();
    return 0;
}

void method_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    as_method(self)->~MethodObject();
    PyObject_GC_Del(self);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_method(self)->qualname.get(), self);
}

template <py::Ref MethodObject::*member>
PyObject* get_member(PyObject* self, void*) {
    const py::Ref& value = as_method(self)->*member;
    return Py_NewRef(value ? value.get() : Py_None);
}

PyGetSetDef method_getset[] = {
    {"__name__", get_member<&MethodObject::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_member<&MethodObject::qualname>, nullptr, nullptr, nullptr},
    {"__doc__", get_member<&MethodObject::doc>, nullptr, nullptr, nullptr},
    {"__module__", get_member<&MethodObject::module_name>, nullptr, nullptr, nullptr},
    {"__defaults__", get_member<&MethodObject::defaults>, nullptr, nullptr, nullptr},
    {"__annotations__", get_member<&MethodObject::annotations>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject method_type = [] {
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = "lorvex.tandry.function";
    type.tp_basicsize = sizeof(MethodObject);
    type.tp_dealloc = method_dealloc;
    type.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    type.tp_repr = method_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_traverse = method_traverse;
    type.tp_clear = method_clear;
    type.tp_getset = method_getset;
    type.tp_descr_get = method_get;
    return type;
}();

py::Ref annotations_dict(const Callable& callable) {
    py::Ref dict = py::check(PyDict_New());
    for (const Annotation& annotation : callable.annotations) {
        py::Ref text = py::check(PyUnicode_FromString(annotation.text));
        py::check_status(PyDict_SetItemString(dict.get(), annotation.name, text.get()));
    }
    return dict;
}

}  // namespace

void ready_method_type() {
    py::check_status(PyType_Ready(&method_type));
}

py::Ref new_method(const Callable& callable, PyObject* module) {
    // Everything the object holds is made before it exists, so a failure leaves nothing
    // half-built.
    const std::string_view qualname = callable.qualname;
    const std::string_view name = qualname.substr(qualname.rfind('.') + 1);
    py::Ref name_object = py::check(PyUnicode_FromStringAndSize(name.data(), name.size()));
    py::Ref qualname_object = py::check(PyUnicode_FromString(callable.qualname));
    py::Ref doc = py::check(PyUnicode_FromString(callable.doc));
    py::Ref module_name = py::check(PyUnicode_InternFromString("lorvex.tandry"));
    py::Ref defaults = make_defaults(callable.signature);
    py::Ref annotations = annotations_dict(callable);

    PyObject* memory = PyType_GenericAlloc(&method_type, 0);
    if (memory == nullptr) py::throw_error_set();
    // GenericAlloc started tracking the object; it must not be traversed before its members
    // are constructed.
    PyObject_GC_UnTrack(memory);
    const PyObject header = *memory;
    auto* method = new (memory) MethodObject{header,
                                             method_vectorcall,
                                             &callable,
                                             py::Ref::borrow(module),
                                             std::move(name_object),
                                             std::move(qualname_object),
                                             std::move(doc),
                                             std::move(module_name),
                                             std::move(defaults),
                                             std::move(annotations)};
    PyObject_GC_Track(memory);
    return py::Ref::steal(reinterpret_cast<PyObject*>(method));
}

}  // namespace lorvex::tandry
