#include "lorvex/capi/calls.hpp"

#include <vector>

namespace lorvex::py {

py::Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional,
                std::span<const Keyword> keywords) {
    // One spare slot in front lets the callee borrow it (PY_VECTORCALL_ARGUMENTS_OFFSET).
    std::vector<PyObject*> argv{nullptr};
    argv.insert(argv.end(), positional.begin(), positional.end());
    py::Ref names;
    if (keywords.size() != 0) {
        names = py::check(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
        Py_ssize_t i = 0;
        for (const Keyword& keyword : keywords) {
            PyTuple_SET_ITEM(names.get(), i++,
                             py::check(PyUnicode_FromString(keyword.name)).release());
            argv.push_back(keyword.value);
        }
    }
    return py::check(PyObject_Vectorcall(callable, argv.data() + 1,
                                         positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         names.get()));
}

py::Ref call_method(PyObject* object, const char* name, std::initializer_list<PyObject*> positional,
                    std::span<const Keyword> keywords) {
    py::Ref method = py::getattr(object, name);
    return call_kw(method.get(), positional, keywords);
}

Py_ssize_t as_ssize(PyObject* value) {
    const Py_ssize_t number = PyNumber_AsSsize_t(value, PyExc_OverflowError);
    if (number == -1 && PyErr_Occurred()) py::throw_error_set();
    return number;
}

py::Ref new_int(Py_ssize_t value) {
    return py::check(PyLong_FromSsize_t(value));
}

py::Ref get_item(PyObject* object, const char* key) {
    // Records are read by the same few keys over and over: interned, they compare by identity.
    py::Ref key_object = py::check(PyUnicode_InternFromString(key));
    return py::check(PyObject_GetItem(object, key_object.get()));
}

void set_attr(PyObject* object, const char* name, PyObject* value) {
    py::check_status(PyObject_SetAttrString(object, name, value));
}

bool is_true(PyObject* value) {
    return py::check_status(PyObject_IsTrue(value)) != 0;
}

bool compare(PyObject* left, PyObject* right, int op) {
    py::Ref result = py::check(PyObject_RichCompare(left, right, op));
    return is_true(result.get());
}

bool compare_or_identical(PyObject* left, PyObject* right, int op) {
    return py::check_status(PyObject_RichCompareBool(left, right, op)) != 0;
}

py::Ref get_slice(PyObject* object, PyObject* slice) {
    PyMappingMethods* mapping = Py_TYPE(object)->tp_as_mapping;
    if (mapping == nullptr || mapping->mp_subscript == nullptr) {
        py::raise(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(object)->tp_name);
    }
    return py::check(mapping->mp_subscript(object, slice));
}

void set_slice(PyObject* object, PyObject* slice, PyObject* value) {
    PyMappingMethods* mapping = Py_TYPE(object)->tp_as_mapping;
    if (mapping == nullptr || mapping->mp_ass_subscript == nullptr) {
        py::raise(PyExc_TypeError, "'%.200s' object does not support slice assignment",
                  Py_TYPE(object)->tp_name);
    }
    py::check_status(mapping->mp_ass_subscript(object, slice, value));
}

}  // namespace lorvex::py
