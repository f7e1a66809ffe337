// Binding of vectorcall arguments (positional array + keyword names) to a parameter table,
// with the module's argument-error messages. One table per callable; every parameter may
// be passed by position or by keyword.
#pragma once

#include <array>
#include <span>

#include "lorvex/capi/ref.hpp"

namespace lorvex::tandry {

// The exact-type rule of a parameter: subclasses are refused (so bool is not an int).
enum class TypeRule { any, str, int_, list, dict, list_or_none, dict_or_none };

// The default value of a parameter, turned into a Python object once at load.
struct Default {
    enum class Kind { required, none, integer, text } kind = Kind::required;
    long integer = 0;
    const char* text = nullptr;
};

inline constexpr Default required{};
inline constexpr Default defaults_to_none{Default::Kind::none};
constexpr Default defaults_to_int(long value) {
    return {Default::Kind::integer, value};
}
constexpr Default defaults_to_text(const char* value) {
    return {Default::Kind::text, 0, value};
}

struct Parameter {
    const char* name;
    TypeRule rule = TypeRule::any;
    Default default_value = required;
};

// Parameters in order; required ones come first. For methods the first is `self`.
struct Signature {
    const char* name;  // the plain name used in messages, e.g. "get_batch"
    std::span<const Parameter> parameters;

    std::size_t required_count() const noexcept;
};

inline constexpr std::size_t max_parameters = 8;

// Borrowed references, valid for the duration of the call that was bound.
struct BoundArguments {
    std::array<PyObject*, max_parameters> values{};
    std::size_t count = 0;
    std::span<PyObject* const> view() const noexcept { return {values.data(), count}; }
};

// The tuple of the optional parameters' defaults, in order, or None when there are none.
py::Ref make_defaults(const Signature& signature);

// Binds a call's arguments: positional first, then keywords, then `defaults` (the tuple
// make_defaults built) for what is left; then runs the type rules in parameter order.
BoundArguments bind(const Signature& signature, PyObject* defaults, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames);

}  // namespace lorvex::tandry
