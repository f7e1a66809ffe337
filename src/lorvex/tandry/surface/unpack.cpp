#include "lorvex/tandry/surface/unpack.hpp"

namespace lorvex::tandry {

namespace {

[[noreturn]] void too_many(Py_ssize_t count) {
    py::raise(PyExc_ValueError, "too many values to unpack (expected %zd)", count);
}

[[noreturn]] void too_few(Py_ssize_t got) {
    py::raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

}  // namespace

std::vector<py::Ref> unpack(PyObject* object, Py_ssize_t count) {
    std::vector<py::Ref> items;
    if (PyTuple_CheckExact(object) || PyList_CheckExact(object)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
        if (size > count) too_many(count);
        if (size < count) too_few(size);
        PyObject** source = PySequence_Fast_ITEMS(object);
        for (Py_ssize_t i = 0; i < count; ++i) items.push_back(py::Ref::borrow(source[i]));
        return items;
    }
    py::Ref iterator = py::check(PyObject_GetIter(object));
    while (static_cast<Py_ssize_t>(items.size()) < count) {
        py::Ref item = py::Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) py::throw_error_set();
            too_few(static_cast<Py_ssize_t>(items.size()));
        }
        items.push_back(std::move(item));
    }
    py::Ref extra = py::Ref::steal(PyIter_Next(iterator.get()));
    if (extra) too_many(count);
    if (PyErr_Occurred()) py::throw_error_set();
    return items;
}

}  // namespace lorvex::tandry
