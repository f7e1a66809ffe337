// A timestamp as Python sees it: an int, or None where FFmpeg has none.
#pragma once

#include <cstdint>

#include "lorvex/capi/ref.hpp"

extern "C" {
#include <libavutil/avutil.h>
}

namespace lorvex::container {

inline py::Ref timestamp_or_none(std::int64_t value) {
    if (value == AV_NOPTS_VALUE) return py::Ref::borrow(Py_None);
    return py::check(PyLong_FromLongLong(value));
}

}  // namespace lorvex::container
