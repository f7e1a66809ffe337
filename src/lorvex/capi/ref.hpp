// Owning and borrowed handles for Python references, and the one way a C++ function
// reports a Python error: set the error indicator, then throw PyErrorSet.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <source_location>
#include <utility>

namespace lorvex::py {

// Thrown only after the Python error indicator has been set; each Python entry point
// catches it once and returns NULL. `line` is the C++ line that noticed the failure,
// used for the traceback entry.
struct PyErrorSet {
    int line = 0;
};

// A strong reference. Moves transfer ownership; the destructor drops it.
class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (may be NULL).
    static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return Ref(ptr);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

  private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

[[noreturn]] inline void throw_error_set(
    std::source_location where = std::source_location::current()) {
    throw PyErrorSet{static_cast<int>(where.line())};
}

// Wraps a new reference returned by the C API; NULL means an error is set.
inline Ref check(PyObject* result, std::source_location where = std::source_location::current()) {
    if (result == nullptr) throw_error_set(where);
    return Ref::steal(result);
}

// For C API calls that return -1 on error.
inline int check_status(int status, std::source_location where = std::source_location::current()) {
    if (status < 0) throw_error_set(where);
    return status;
}

// Sets an exception with a printf-style message (PyErr_Format rules) and throws.
template <typename... Args>
[[noreturn]] void raise(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw_error_set();
}

inline Ref getattr(PyObject* object, const char* name,
                   std::source_location where = std::source_location::current()) {
    return check(PyObject_GetAttrString(object, name), where);
}

// Calls `callable` with positional arguments (borrowed) and optional keyword names;
// the keyword values follow the positional ones in `args`.
template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return check(PyObject_Vectorcall(callable, argv + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace lorvex::py
