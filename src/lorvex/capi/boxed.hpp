// Python objects whose data is one C++ value: built before the object exists, destroyed in
// tp_dealloc. The module's types are heap types without subclasses or cycles.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

#include "lorvex/capi/ref.hpp"

namespace lorvex::py {

template <typename Payload>
struct Boxed {
    PyObject_HEAD Payload payload;
};

template <typename Payload>
Payload& payload_of(PyObject* object) noexcept {
    return reinterpret_cast<Boxed<Payload>*>(object)->payload;
}

// A new instance of `type` holding `payload`. Moving in cannot throw, so the object never
// exists with half-built data.
template <typename Payload>
py::Ref box(PyTypeObject* type, Payload&& payload) {
    static_assert(std::is_nothrow_move_constructible_v<std::remove_cvref_t<Payload>>);
    py::Ref object = py::check(type->tp_alloc(type, 0));
    std::construct_at(&payload_of<std::remove_cvref_t<Payload>>(object.get()),
                      std::forward<Payload>(payload));
    return object;
}

template <typename Payload>
void dealloc_boxed(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    std::destroy_at(&payload_of<Payload>(object));
    type->tp_free(object);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <typename Payload>
constexpr int boxed_size() noexcept {
    return static_cast<int>(sizeof(Boxed<Payload>));
}

}  // namespace lorvex::py
