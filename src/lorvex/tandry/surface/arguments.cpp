#include "lorvex/tandry/surface/arguments.hpp"

#include <algorithm>
#include <optional>

namespace lorvex::tandry {

namespace {

struct ExpectedType {
    PyTypeObject* type;
    bool none_allowed;
};

std::optional<ExpectedType> expected_type(TypeRule rule) {
    switch (rule) {
        case TypeRule::any:
            return std::nullopt;
        case TypeRule::str:
            return ExpectedType{&PyUnicode_Type, false};
        case TypeRule::int_:
            return ExpectedType{&PyLong_Type, false};
        case TypeRule::list:
            return ExpectedType{&PyList_Type, false};
        case TypeRule::dict:
            return ExpectedType{&PyDict_Type, false};
        case TypeRule::list_or_none:
            return ExpectedType{&PyList_Type, true};
        case TypeRule::dict_or_none:
            return ExpectedType{&PyDict_Type, true};
    }
    return std::nullopt;
}

[[noreturn]] void raise_count_error(const Signature& signature, Py_ssize_t given) {
    const auto total = static_cast<Py_ssize_t>(signature.parameters.size());
    const auto required = static_cast<Py_ssize_t>(signature.required_count());
    const bool too_few = given < required;
    const Py_ssize_t bound = too_few ? required : total;
    const char* qualifier = required == total ? "exactly" : too_few ? "at least" : "at most";
    py::raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
              signature.name, qualifier, bound, bound == 1 ? "" : "s", given);
}

// Index of the parameter called `key`, or -1; `key` must be a str.
Py_ssize_t parameter_index(const Signature& signature, PyObject* key) {
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, signature.parameters[i].name) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

PyObject* keyword_value(const Signature& signature, std::size_t index, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) &&
            PyUnicode_CompareWithASCIIString(key, signature.parameters[index].name) == 0) {
            return args[nargs + k];
        }
    }
    return nullptr;
}

void check_keywords(const Signature& signature, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            py::raise(PyExc_TypeError, "%.200s() keywords must be strings", signature.name);
        }
        const Py_ssize_t index = parameter_index(signature, key);
        if (index < 0) {
            py::raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                      signature.name, key);
        }
        if (index < nargs) {
            py::raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                      signature.name, key);
        }
    }
}

void check_type(const Parameter& parameter, PyObject* value) {
    const std::optional<ExpectedType> expected = expected_type(parameter.rule);
    if (!expected || Py_IS_TYPE(value, expected->type)) return;
    if (expected->none_allowed && value == Py_None) return;
    const char* expected_name = expected->type->tp_name;
    if (PyObject_TypeCheck(value, expected->type)) {
        py::raise(PyExc_TypeError,
                  "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). Instances "
                  "of subclasses of built-in types are refused: pass an exact %.200s.",
                  parameter.name, expected_name, Py_TYPE(value)->tp_name, expected_name);
    }
    py::raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
              parameter.name, expected_name, Py_TYPE(value)->tp_name);
}

py::Ref default_object(const Default& value) {
    switch (value.kind) {
        case Default::Kind::integer:
            return py::check(PyLong_FromLong(value.integer));
        case Default::Kind::text:
            return py::check(PyUnicode_InternFromString(value.text));
        case Default::Kind::none:
        case Default::Kind::required:
            break;
    }
    return py::Ref::borrow(Py_None);
}

}  // namespace

std::size_t Signature::required_count() const noexcept {
    return static_cast<std::size_t>(
        std::count_if(parameters.begin(), parameters.end(), [](const Parameter& parameter) {
            return parameter.default_value.kind == Default::Kind::required;
        }));
}

py::Ref make_defaults(const Signature& signature) {
    const std::size_t required = signature.required_count();
    const std::size_t optional = signature.parameters.size() - required;
    if (optional == 0) return py::Ref::borrow(Py_None);
    py::Ref tuple = py::check(PyTuple_New(static_cast<Py_ssize_t>(optional)));
    for (std::size_t i = 0; i < optional; ++i) {
        PyTuple_SET_ITEM(
            tuple.get(), static_cast<Py_ssize_t>(i),
            default_object(signature.parameters[required + i].default_value).release());
    }
    return tuple;
}

BoundArguments bind(const Signature& signature, PyObject* defaults, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
    const std::size_t total = signature.parameters.size();
    const std::size_t required = signature.required_count();
    if (nargs > static_cast<Py_ssize_t>(total)) raise_count_error(signature, nargs);

    BoundArguments bound;
    bound.count = total;
    const auto positional = static_cast<std::size_t>(nargs);
    std::copy(args, args + positional, bound.values.begin());

    const bool has_keywords = kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0;
    // A required parameter missing both ways is reported as a positional-count error
    // before any keyword is judged; its index is the count of arguments "given".
    for (std::size_t i = positional; i < total; ++i) {
        if (has_keywords) bound.values[i] = keyword_value(signature, i, args, nargs, kwnames);
        if (bound.values[i] == nullptr && i < required) {
            raise_count_error(signature, static_cast<Py_ssize_t>(i));
        }
    }
    if (has_keywords) check_keywords(signature, nargs, kwnames);

    for (std::size_t i = std::max(positional, required); i < total; ++i) {
        if (bound.values[i] == nullptr) {
            bound.values[i] = PyTuple_GET_ITEM(defaults, static_cast<Py_ssize_t>(i - required));
        }
    }
    for (std::size_t i = 0; i < total; ++i) check_type(signature.parameters[i], bound.values[i]);
    return bound;
}

}  // namespace lorvex::tandry
