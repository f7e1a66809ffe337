// Which requested frames a worker delivers for one of its intervals. Frame i belongs to the
// interval that holds picture i's timestamp, so every requested frame has exactly one owner.
#pragma once

#include <cstdint>
#include <vector>

#include "lorvex/protocol/frame_table.hpp"
#include "lorvex/protocol/worker_job.hpp"

namespace lorvex {

// A requested frame this worker must deliver, and the row it goes to.
struct OwnedFrame {
    std::int64_t frame_index = 0;
    std::int64_t row = 0;
    friend bool operator==(const OwnedFrame&, const OwnedFrame&) = default;
};

// The requested frames whose pictures lie in [interval.start, interval.end), by increasing
// frame index; the interval that begins the record also takes the pictures before it, the one
// that ends it those at or after its end, and a record that is a single instant gives every
// requested frame to each interval. Throws std::out_of_range for a frame the table lacks.
std::vector<OwnedFrame> owned_frames(const WorkerJob& job, const PtsInterval& interval,
                                     const FrameTable& table);

// owned_frames() for each of the job's intervals, in the job's order.
std::vector<std::vector<OwnedFrame>> owned_by_interval(const WorkerJob& job,
                                                       const FrameTable& table);

// Whether the job's intervals hold none of the requested frames.
bool owns_nothing(const std::vector<std::vector<OwnedFrame>>& owned);

}  // namespace lorvex
