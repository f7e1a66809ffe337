// Turns a worker program's command line into a checked WorkerJob.
//
// The command line comes from the loaders, but a worker trusts none of it: every item is
// parsed strictly and every number checked before anything is opened or attached.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "lorvex/protocol/command_line_error.hpp"
#include "lorvex/protocol/worker_job.hpp"

namespace lorvex {

// Both programs take the program name and 13 arguments, at these places.
inline constexpr int kWorkerArgc = 14;

// `lorvex`: one planned interval.
namespace one_shot_item {
enum : int {
    program,
    video_path,
    frames_block,
    rows,  // the encoded row map, or a reference to an inherited memory file holding it
    interval_start,
    interval_end,
    height,
    width,
    num_frames,
    worker,
    workers,
    record_start,
    record_end,
    interpolation,
};
}  // namespace one_shot_item

// `lorvex_interleaved`: one share of the planned intervals.
namespace interleaved_item {
enum : int {
    program,
    video_path,
    frames_block,
    rows,
    shares,  // the encoded share list (every worker's), or a reference to a memory file
    height,
    width,
    num_frames,
    worker,
    workers,  // the number of shares
    record_start,
    record_end,
    interpolation,
    check_block,
};
}  // namespace interleaved_item

// The items as the loaders write them, each in its place: numbers are the decimal text of the
// loaders' integers, which may lie outside any C++ integer's range (a worker refuses those).
// `Item` is std::string here and in the tests, and the loader's own objects in the loader.
template <typename Item>
struct OneShotItems {
    Item video_path, frames_block, rows, interval_start, interval_end, height, width, num_frames,
        worker, workers, record_start, record_end, interpolation;
};
template <typename Item>
struct InterleavedItems {
    Item video_path, frames_block, rows, shares, height, width, num_frames, worker, workers,
        record_start, record_end, interpolation, check_block;
};

// The whole command line, `program` (the program's name) first.
template <typename Item>
std::array<Item, kWorkerArgc> one_shot_command_line(Item program, const OneShotItems<Item>& items) {
    namespace at = one_shot_item;
    std::array<Item, kWorkerArgc> line;
    line[at::program] = program;
    line[at::video_path] = items.video_path;
    line[at::frames_block] = items.frames_block;
    line[at::rows] = items.rows;
    line[at::interval_start] = items.interval_start;
    line[at::interval_end] = items.interval_end;
    line[at::height] = items.height;
    line[at::width] = items.width;
    line[at::num_frames] = items.num_frames;
    line[at::worker] = items.worker;
    line[at::workers] = items.workers;
    line[at::record_start] = items.record_start;
    line[at::record_end] = items.record_end;
    line[at::interpolation] = items.interpolation;
    return line;
}

template <typename Item>
std::array<Item, kWorkerArgc> interleaved_command_line(Item program,
                                                       const InterleavedItems<Item>& items) {
    namespace at = interleaved_item;
    std::array<Item, kWorkerArgc> line;
    line[at::program] = program;
    line[at::video_path] = items.video_path;
    line[at::frames_block] = items.frames_block;
    line[at::rows] = items.rows;
    line[at::shares] = items.shares;
    line[at::height] = items.height;
    line[at::width] = items.width;
    line[at::num_frames] = items.num_frames;
    line[at::worker] = items.worker;
    line[at::workers] = items.workers;
    line[at::record_start] = items.record_start;
    line[at::record_end] = items.record_end;
    line[at::interpolation] = items.interpolation;
    line[at::check_block] = items.check_block;
    return line;
}

// The same as text, with the programs' own names.
std::vector<std::string> one_shot_command_line(const OneShotItems<std::string>& items);
std::vector<std::string> interleaved_command_line(const InterleavedItems<std::string>& items);

WorkerJob parse_one_shot_command_line(int argc, const char* const* argv);
WorkerJob parse_interleaved_command_line(int argc, const char* const* argv);

}  // namespace lorvex
