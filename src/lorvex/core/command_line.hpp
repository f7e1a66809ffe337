// Turns a worker program's command line into a checked WorkerJob.
//
// The command line comes from the loaders, but a worker trusts none of it: every item is
// parsed strictly and every number checked before anything is opened or attached.
#pragma once

#include "lorvex/core/command_line_error.hpp"
#include "lorvex/core/worker_job.hpp"

namespace lorvex {

// Both programs take the program name and 13 arguments.
inline constexpr int kWorkerArgc = 14;

// `lorvex`: video path, frames block, encoded row map, interval start pts, interval end pts,
// height, width, num_frames, worker number, number of workers, record start pts,
// record end pts, interpolation.
WorkerJob parse_one_shot_command_line(int argc, const char* const* argv);

// `lorvex_interleaved`: video path, frames block, encoded row map, encoded share list, height,
// width, num_frames, worker number, number of shares, record start pts, record end pts,
// interpolation, check block.
WorkerJob parse_interleaved_command_line(int argc, const char* const* argv);

}  // namespace lorvex
