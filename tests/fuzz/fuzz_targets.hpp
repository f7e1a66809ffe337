// What each fuzzer does with one input, shared with the unit test that replays the kept inputs.
//
// Every input must either parse or be refused with CommandLineError (a video: opened and
// decoded, or refused with AvError or DecodeError); anything else (another exception, a result
// that breaks a promise, a sanitizer report) is a fault.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "lorvex/media/frame_scan.hpp"
#include "lorvex/protocol/command_line.hpp"
#include "lorvex/protocol/frame_format.hpp"
#include "lorvex/protocol/frame_table_file.hpp"
#include "lorvex/protocol/pickle_reader.hpp"
#include "lorvex/worker/decode_job.hpp"
#include "memory_reader.hpp"

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

// What the workers rely on in every frame table, however it was made.
inline void check_table(const FrameTable& table) {
    require(table.stamps.size() == table.timestamps.size(), "a stamp per picture");
    require(!(table.dts_only && table.by_position), "stamped by dts or by position, not both");
    require(std::is_sorted(table.timestamps.begin(), table.timestamps.end()),
            "timestamps ascending");
    std::int64_t floor = 0;
    for (const TableKeyframe& keyframe : table.keyframes) {
        require(keyframe.first_rank >= floor && keyframe.first_rank <= table.size(),
                "keyframe ranks ascending and in range");
        floor = keyframe.first_rank;
    }
}

// The frame table a worker inherits: decoded, or refused with std::invalid_argument; what is
// decoded must keep the promises the worker relies on.
inline void frame_table_input(std::span<const std::uint8_t> data) {
    try {
        const IdentifiedTable decoded = decode_frame_table(
            std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
        check_table(decoded.table);
    } catch (const std::invalid_argument&) {
    }
}

// The frame format a worker inherits: decoded into one of the formats that exist (and written
// back as the same bytes), or refused with std::invalid_argument.
inline void frame_format_input(std::span<const std::uint8_t> data) {
    const std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
    try {
        const FrameFormat format = decode_frame_format(bytes);
        require(format.sample_bytes == 1 || format.sample_bytes == 2, "1 or 2 bytes a sample");
        require(format.quarter_turns >= 0 && format.quarter_turns < 4, "0 to 3 turns");
        require(encode_frame_format(format) == bytes, "format round trip");
    } catch (const std::invalid_argument&) {
    }
}

// A worker's job over a table: up to 16 frames spread over the video, asked for in reverse
// order so that rows and frames differ, in two intervals split at the middle picture where
// there is one, so that the second starts with a seek.
inline WorkerJob job_over(const FrameTable& table) {
    WorkerJob job;
    job.video_path = "fuzz input";
    job.frames_block = "fuzz block";
    job.height = 6;
    job.width = 10;
    job.num_frames = table.size();
    job.start_pts = table.timestamps.front();
    job.end_pts = table.timestamps.back();
    // One decoding thread each (cores / workers): a run must repeat exactly to be kept.
    job.num_workers = 256;
    job.interpolation = "BICUBIC";
    const std::int64_t wanted = std::min<std::int64_t>(table.size(), 16);
    for (std::int64_t k = 0; k < wanted; ++k) {
        job.rows.push_back({k * table.size() / wanted, wanted - 1 - k});
    }
    job.row_count = wanted;
    // As the planner splits: only the last interval reaches the end of the record.
    const std::int64_t middle = table.timestamps[static_cast<std::size_t>(table.size() / 2)];
    if (job.start_pts < middle && middle < job.end_pts) {
        job.intervals = {{job.start_pts, middle, 0}, {middle, job.end_pts, 0}};
    } else {
        job.intervals = {{job.start_pts, job.end_pts, 0}};
    }
    return job;
}

// The open and probe path and a worker's decode loop over one input as a video file: the
// frame table must keep its promises and survive the loaders' encoding; the decode must write
// each requested row once and nothing outside the block, or fail with a reason.
inline void video_input(std::span<const std::uint8_t> data) {
    const VideoSource source = memory_source("fuzz input", data);
    FrameTable table;
    try {
        table = scan_frame_table(source);
    } catch (const AvError&) {
        return;
    } catch (const std::runtime_error&) {
        return;  // no video stream
    }
    check_table(table);
    const IdentifiedTable encoded{FileIdentity{}, table};
    require(decode_frame_table(encode_frame_table(encoded)).table == table, "table round trip");
    if (table.size() == 0) return;

    const WorkerJob job = job_over(table);
    std::vector<std::uint8_t> block(static_cast<std::size_t>(job.row_count) * 3 * job.height *
                                    job.width);
    std::vector<int> writes(static_cast<std::size_t>(job.row_count));
    try {
        run_decode_job(job, source, block.data(), [&](std::int64_t row) {
            require(row >= 0 && row < job.row_count, "written row in the block");
            ++writes[static_cast<std::size_t>(row)];
        });
    } catch (const DecodeError&) {
        return;
    } catch (const AvError&) {
        return;
    }
    require(std::all_of(writes.begin(), writes.end(), [](int count) { return count == 1; }),
            "every row written once");
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
