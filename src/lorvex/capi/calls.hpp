// Calls with keyword arguments, and the small Python idioms the loaders and readers repeat.
#pragma once

#include <initializer_list>
#include <span>

#include "lorvex/capi/ref.hpp"

namespace lorvex::py {

struct Keyword {
    const char* name;
    PyObject* value;
};

// callable(*positional, **keywords); the keywords are passed in the order given.
py::Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional,
                std::span<const Keyword> keywords);
inline py::Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional,
                       std::initializer_list<Keyword> keywords = {}) {
    return call_kw(callable, positional, std::span(keywords.begin(), keywords.size()));
}

// object.name(*positional, **keywords)
py::Ref call_method(PyObject* object, const char* name, std::initializer_list<PyObject*> positional,
                    std::span<const Keyword> keywords);
inline py::Ref call_method(PyObject* object, const char* name,
                           std::initializer_list<PyObject*> positional = {},
                           std::initializer_list<Keyword> keywords = {}) {
    return call_method(object, name, positional, std::span(keywords.begin(), keywords.size()));
}

py::Ref new_int(Py_ssize_t value);
// An integer object as a Py_ssize_t; OverflowError beyond its range.
Py_ssize_t as_ssize(PyObject* value);
py::Ref get_item(PyObject* object, const char* key);
void set_attr(PyObject* object, const char* name, PyObject* value);
bool is_true(PyObject* value);
// The truth of `left <op> right`, by the host's comparison followed by a truth test.
bool compare(PyObject* left, PyObject* right, int op);
// The same, except that an object is equal to itself whatever its __eq__ says (the rule of
// `in` and of list equality).
bool compare_or_identical(PyObject* left, PyObject* right, int op);

// object[slice] and object[slice] = value, through the mapping protocol only: a type
// without it is refused with the slicing message rather than the indexing one.
py::Ref get_slice(PyObject* object, PyObject* slice);
void set_slice(PyObject* object, PyObject* slice, PyObject* value);

// An exception taken out of the error indicator while cleanup code runs; put back by
// restore(), dropped otherwise.
class SavedError {
  public:
    SavedError() noexcept {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = py::Ref::steal(type);
        value_ = py::Ref::steal(value);
        traceback_ = py::Ref::steal(traceback);
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    void restore() noexcept {
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    }

  private:
    py::Ref type_;
    py::Ref value_;
    py::Ref traceback_;
};

// Runs `body`; when anything escapes it, runs `undo` with the pending Python error set
// aside, then lets the original failure propagate. A Python error raised by `undo` itself
// propagates instead.
template <typename Body, typename Undo>
decltype(auto) undo_on_failure(Body&& body, Undo&& undo) {
    try {
        return body();
    } catch (...) {
        SavedError pending;
        undo();
        pending.restore();
        throw;
    }
}

}  // namespace lorvex::py
