// What one worker program is asked to do, once its command line has been checked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lorvex/protocol/frame_format.hpp"

namespace lorvex {

// One planned stretch of the video, in the stream's pts units. `count` is the planner's
// tally of requested frames inside it (informational only).
struct PtsInterval {
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::int64_t count = 0;
};

// A requested frame index and the row of the frames block that receives it.
struct RowAssignment {
    std::int64_t frame_index = 0;
    std::int64_t row = 0;
};

struct WorkerJob {
    std::string video_path;
    std::string frames_block;                // shared-memory name of the frames block
    std::optional<std::string> check_block;  // interleaved mode only: the ready flags
    std::vector<RowAssignment> rows;         // every requested frame of the whole load
    std::int64_t row_count = 0;              // R: rows of the block (distinct requested frames)
    int height = 0;                          // output size of every row
    int width = 0;
    // The record's frame count (requested frames must lie below it) and its pts range, whose
    // ends tell the first and the last interval.
    std::int64_t num_frames = 0;
    std::int64_t start_pts = 0;
    std::int64_t end_pts = 0;
    int worker = 0;  // this worker's number and the number of workers of the load
    int num_workers = 1;
    std::string interpolation;           // "BILINEAR", "NEAREST", "BICUBIC", "AREA", "LANCZOS"
    std::vector<PtsInterval> intervals;  // this worker's own intervals, in pts order
    FrameFormat format;                  // how each row is laid out: always the default
};

}  // namespace lorvex
