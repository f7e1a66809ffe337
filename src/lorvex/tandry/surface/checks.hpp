// The module's two value checks: assertions (skipped under `python -O`) and exact-type
// checks of values that come back from calls or records.
#pragma once

#include "lorvex/capi/ref.hpp"

namespace lorvex::tandry {

// True unless the interpreter runs with -O; read at call time.
bool assertions_enabled() noexcept;

// Raises the AssertionError resolved at load; `message` null means no message.
[[noreturn]] void fail_assertion(PyObject* module, const char* message = nullptr);

// TypeError "Expected <type>, got <value's type>" unless `value` is exactly of `type`
// (or None, when `none_allowed`).
void expect_exact(PyObject* value, PyTypeObject* type, bool none_allowed = true);

}  // namespace lorvex::tandry
