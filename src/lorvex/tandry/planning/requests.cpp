#include "lorvex/tandry/planning/requests.hpp"

#include "lorvex/capi/calls.hpp"
#include "lorvex/protocol/pickle_reader.hpp"
#include "lorvex/tandry/surface/namespace.hpp"

namespace lorvex::tandry {

namespace {

// The element as a plain int, or TypeError naming it.
py::Ref plain_index(PyObject* element) {
    if (PyBool_Check(element)) {
        py::raise(PyExc_TypeError, "frame indices must be integers, got %R (bool)", element);
    }
    PyObject* index = PyNumber_Index(element);
    if (index == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) py::throw_error_set();
        PyErr_Clear();
        py::raise(PyExc_TypeError, "frame indices must be integers, got %R (%.200s)", element,
                  Py_TYPE(element)->tp_name);
    }
    // Since 3.10 this is always an exact int, which is what the workers' decoder reads.
    return py::Ref::steal(index);
}

}  // namespace

void check_index_types(PyObject* list) {
    // The length is read at every step: __index__ of an element may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        py::Ref element = py::Ref::borrow(PyList_GET_ITEM(list, i));
        plain_index(element.get());
    }
}

Requests resolve_requests(PyObject* list, PyObject* num_frames) {
    Requests requests{py::check(PyDict_New()), {}, {}};
    py::Ref zero = py::new_int(0);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        py::Ref element = py::Ref::borrow(PyList_GET_ITEM(list, i));
        py::Ref index = plain_index(element.get());
        if (py::compare(index.get(), zero.get(), Py_LT) ||
            !py::compare(index.get(), num_frames, Py_LT)) {
            py::raise(PyExc_IndexError, "frame index %S is out of range for a video of %S frames",
                      index.get(), num_frames);
        }
        PyObject* row = PyDict_GetItemWithError(requests.row_map.get(), index.get());
        if (row == nullptr) {
            if (PyErr_Occurred()) py::throw_error_set();
            py::Ref new_row = py::new_int(requests.distinct());
            py::check_status(PyDict_SetItem(requests.row_map.get(), index.get(), new_row.get()));
            requests.rows.push_back(requests.distinct() - 1);
        } else {
            if (!requests.first_repeat) requests.first_repeat = index;
            requests.rows.push_back(PyLong_AsSsize_t(row));
        }
    }
    return requests;
}

py::Ref encode_for_workers(PyObject* module, PyObject* value) {
    py::Ref pickle = global(module, Global::pickle);
    py::Ref protocol = py::new_int(kPickleProtocol);
    py::Ref pickled =
        py::call_method(pickle.get(), "dumps", {value}, {{"protocol", protocol.get()}});
    py::Ref base64 = global(module, Global::base64);
    py::Ref encoded = py::call_method(base64.get(), "b64encode", {pickled.get()});
    py::Ref encoding = py::check(PyUnicode_FromString("utf-8"));
    return py::call_method(encoded.get(), "decode", {encoding.get()});
}

}  // namespace lorvex::tandry
