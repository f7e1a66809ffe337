// The frames a load is asked for: checked, reduced to plain ints, and given rows.
#pragma once

#include <vector>

#include "lorvex/capi/ref.hpp"

namespace lorvex::tandry {

// Refuses, before any work, a request list with an element that is not an integer
// (anything operator.index takes, bool excluded), naming the element.
void check_index_types(PyObject* list);

struct Requests {
    // {frame: row}: rows numbered in order of first appearance, keys and values plain ints.
    py::Ref row_map;
    // The row that each position of the request list reads.
    std::vector<Py_ssize_t> rows;
    // The first index that repeats an earlier one, or an empty Ref.
    py::Ref first_repeat;
    Py_ssize_t distinct() const { return PyDict_GET_SIZE(row_map.get()); }
    bool has_duplicates() const { return distinct() != static_cast<Py_ssize_t>(rows.size()); }
};

// Every element of `list` must be an integer in [0, num_frames): TypeError or IndexError
// naming the first one that is not.
Requests resolve_requests(PyObject* list, PyObject* num_frames);

// The row map as the workers read it: pickle protocol 5, then base64, as text.
py::Ref encode_for_workers(PyObject* module, PyObject* value);

}  // namespace lorvex::tandry
