// Which frame number a timestamp stands for. The planner in Python computes the same mapping,
// so these functions must agree with Python's own arithmetic for every int64 input.
#pragma once

#include <cstdint>

namespace lorvex {

// The double nearest to numerator / denominator (ties to even), as Python's int / int gives it,
// exact even where the operands do not fit a double. The denominator must not be zero.
double correctly_rounded_quotient(__int128 numerator, __int128 denominator);

// Python's round(x) for a finite double (ties to even), saturated to the int64 range.
std::int64_t round_half_even(double x);

// round((num_frames - 1) * (pts - start) / (end - start)); 0 for every pts when end == start.
std::int64_t estimate_frame_index(std::int64_t pts, std::int64_t start, std::int64_t end,
                                  std::int64_t num_frames);

}  // namespace lorvex
