// Which frame number a timestamp stands for. The planner in Python computes the same mapping,
// so these functions must agree with Python's own arithmetic for every int64 input.
#pragma once

#include <cstdint>
#include <vector>

#include "lorvex/core/worker_job.hpp"

namespace lorvex {

// The double nearest to numerator / denominator (ties to even), as Python's int / int gives it,
// exact even where the operands do not fit a double. The denominator must not be zero.
double correctly_rounded_quotient(__int128 numerator, __int128 denominator);

// Python's round(x) for a finite double (ties to even), saturated to the int64 range.
std::int64_t round_half_even(double x);

// round((num_frames - 1) * (pts - start) / (end - start)); 0 for every pts when end == start.
std::int64_t estimate_frame_index(std::int64_t pts, std::int64_t start, std::int64_t end,
                                  std::int64_t num_frames);

// The smallest pts whose estimated index is at least `index`: INT64_MAX when no int64 pts
// reaches it, INT64_MIN when every pts does or the mapping does not grow with pts.
std::int64_t first_pts_reaching(std::int64_t index, std::int64_t start, std::int64_t end,
                                std::int64_t num_frames);

// A requested frame this worker must deliver, and the row it goes to.
struct OwnedFrame {
    std::int64_t frame_index = 0;
    std::int64_t row = 0;
    friend bool operator==(const OwnedFrame&, const OwnedFrame&) = default;
};

// The requested frames a worker owns for one interval, by increasing frame index: those in
// [estimate(interval.start), estimate(interval.end)), the last frame when the interval ends the
// record, and every requested frame when the record is a single instant.
std::vector<OwnedFrame> owned_frames(const WorkerJob& job, const PtsInterval& interval);

}  // namespace lorvex
