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
struct one_shot_item {
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
};

// `lorvex_interleaved`: one share of the planned intervals.
struct interleaved_item {
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
};

// The items as the loaders write them, each in its place: numbers are the decimal text of the
// loaders' integers, which may lie outside any C++ integer's range (a worker refuses those).
// `Item` is std::string here and in the tests, and the loader's own objects in the loader.
template <typename Item>
struct LoadItems {  // what both programs are told, in the same order
    Item video_path, frames_block, rows, height, width, num_frames, worker, workers, record_start,
        record_end, interpolation;
};
template <typename Item>
struct OneShotItems {
    LoadItems<Item> load;
    Item interval_start, interval_end;
};
template <typename Item>
struct InterleavedItems {
    LoadItems<Item> load;
    Item shares, check_block;
};

// `program` and the load's items in the places of `Place` (one_shot_item, interleaved_item).
template <typename Place, typename Item>
std::array<Item, kWorkerArgc> placed_load_items(Item program, const LoadItems<Item>& load) {
    std::array<Item, kWorkerArgc> line;
    line[Place::program] = program;
    line[Place::video_path] = load.video_path;
    line[Place::frames_block] = load.frames_block;
    line[Place::rows] = load.rows;
    line[Place::height] = load.height;
    line[Place::width] = load.width;
    line[Place::num_frames] = load.num_frames;
    line[Place::worker] = load.worker;
    line[Place::workers] = load.workers;
    line[Place::record_start] = load.record_start;
    line[Place::record_end] = load.record_end;
    line[Place::interpolation] = load.interpolation;
    return line;
}

// The whole command line, `program` (the program's name) first.
template <typename Item>
std::array<Item, kWorkerArgc> one_shot_command_line(Item program, const OneShotItems<Item>& items) {
    auto line = placed_load_items<one_shot_item>(program, items.load);
    line[one_shot_item::interval_start] = items.interval_start;
    line[one_shot_item::interval_end] = items.interval_end;
    return line;
}

template <typename Item>
std::array<Item, kWorkerArgc> interleaved_command_line(Item program,
                                                       const InterleavedItems<Item>& items) {
    auto line = placed_load_items<interleaved_item>(program, items.load);
    line[interleaved_item::shares] = items.shares;
    line[interleaved_item::check_block] = items.check_block;
    return line;
}

// The same as text, with the programs' own names.
std::vector<std::string> one_shot_command_line(const OneShotItems<std::string>& items);
std::vector<std::string> interleaved_command_line(const InterleavedItems<std::string>& items);

// A worker's whole job: its command line parsed (its rows in the default frame format).
WorkerJob parse_one_shot_command_line(int argc, const char* const* argv);
WorkerJob parse_interleaved_command_line(int argc, const char* const* argv);

}  // namespace lorvex
