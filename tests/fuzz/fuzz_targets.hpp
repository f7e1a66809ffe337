// What each fuzzer does with one input, shared with the unit test that replays the kept inputs.
//
// Every input must either parse or be refused with CommandLineError; anything else (another
// exception, a parsed job that breaks a promise of the parser, a sanitizer report) is a fault.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "lorvex/core/command_line.hpp"
#include "lorvex/core/frame_table_file.hpp"
#include "lorvex/core/pickle_reader.hpp"

namespace lorvex::fuzz {

// Thrown when a parser accepted something it promises to refuse.
class BrokenPromise : public std::logic_error {
  public:
    using std::logic_error::logic_error;
};

inline void require(bool holds, const char* promise) {
    if (!holds) throw BrokenPromise(promise);
}

inline void check_job(const WorkerJob& job, bool interleaved) {
    require(!job.rows.empty(), "row map not empty");
    require(job.row_count == static_cast<std::int64_t>(job.rows.size()), "row_count is R");
    std::vector<bool> row_taken(job.rows.size());
    std::vector<std::int64_t> frames;
    for (const RowAssignment& row : job.rows) {
        require(row.row >= 0 && row.row < job.row_count, "row in [0, R)");
        require(!row_taken[static_cast<std::size_t>(row.row)], "rows distinct");
        row_taken[static_cast<std::size_t>(row.row)] = true;
        require(row.frame_index >= 0 && row.frame_index < job.num_frames, "frame index in range");
        frames.push_back(row.frame_index);
    }
    std::sort(frames.begin(), frames.end());
    require(std::adjacent_find(frames.begin(), frames.end()) == frames.end(), "frames distinct");
    require(job.height > 0 && job.width > 0 && job.num_frames > 0, "sizes positive");
    std::size_t bytes = 0;
    require(!__builtin_mul_overflow(job.rows.size(), std::size_t{3}, &bytes) &&
                !__builtin_mul_overflow(bytes, static_cast<std::size_t>(job.height), &bytes) &&
                !__builtin_mul_overflow(bytes, static_cast<std::size_t>(job.width), &bytes),
            "block size fits");
    require(job.worker >= 0 && job.worker < job.num_workers, "worker in [0, workers)");
    require(job.start_pts <= job.end_pts, "record start <= end");
    for (const PtsInterval& interval : job.intervals) {
        require(interval.start <= interval.end, "interval start <= end");
    }
    require(!job.video_path.empty() && !job.frames_block.empty(), "names not empty");
    const std::string& method = job.interpolation;
    require(method == "BILINEAR" || method == "NEAREST" || method == "BICUBIC" ||
                method == "AREA" || method == "LANCZOS",
            "known interpolation");
    if (interleaved) {
        require(job.check_block.has_value() && !job.check_block->empty(), "check block named");
    } else {
        require(!job.check_block.has_value() && job.intervals.size() == 1, "one interval");
    }
}

template <typename Parse>
void refused_or_parsed(Parse&& parse) {
    try {
        parse();
    } catch (const CommandLineError&) {
    }
}

inline void row_map_input(std::span<const std::uint8_t> data) {
    refused_or_parsed([&] { read_row_map_pickle(data); });
}

inline void share_list_input(std::span<const std::uint8_t> data) {
    refused_or_parsed([&] { read_share_list_pickle(data); });
}

// The frame table a worker inherits: decoded, or refused with std::invalid_argument; what is
// decoded must keep the promises the worker relies on.
inline void frame_table_input(std::span<const std::uint8_t> data) {
    try {
        const IdentifiedTable decoded = decode_frame_table(
            std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
        const FrameTable& table = decoded.table;
        require(table.stamps.size() == table.timestamps.size(), "a stamp per picture");
        require(std::is_sorted(table.timestamps.begin(), table.timestamps.end()),
                "timestamps ascending");
        std::int64_t floor = 0;
        for (const TableKeyframe& keyframe : table.keyframes) {
            require(keyframe.first_rank >= floor && keyframe.first_rank <= table.size(),
                    "keyframe ranks ascending and in range");
            floor = keyframe.first_rank;
        }
    } catch (const std::invalid_argument&) {
    }
}

// The input is the argv items separated by NUL bytes; their number is argc.
inline void command_line_input(std::span<const std::uint8_t> data) {
    std::vector<std::string> items(1);
    for (const std::uint8_t byte : data) {
        if (byte == 0) {
            items.emplace_back();
        } else {
            items.back().push_back(static_cast<char>(byte));
        }
    }
    std::vector<const char*> argv;
    for (const std::string& item : items) argv.push_back(item.c_str());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(items.size());
    refused_or_parsed([&] { check_job(parse_one_shot_command_line(argc, argv.data()), false); });
    refused_or_parsed([&] { check_job(parse_interleaved_command_line(argc, argv.data()), true); });
}

}  // namespace lorvex::fuzz
