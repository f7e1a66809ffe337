#include "lorvex/protocol/command_line.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "lorvex/protocol/base64.hpp"
#include "lorvex/protocol/inherited_text.hpp"
#include "lorvex/protocol/interpolation_names.hpp"
#include "lorvex/protocol/names.hpp"
#include "lorvex/protocol/pickle_reader.hpp"

namespace lorvex {
namespace {

constexpr std::size_t kQuotedLimit = 48;
constexpr std::int64_t kIntMax = std::numeric_limits<int>::max();

// The item as it may appear in a one-line message: control bytes masked, long text cut.
std::string quoted(std::string_view text) {
    std::string shown;
    for (const char c : text.substr(0, kQuotedLimit)) {
        const auto byte = static_cast<unsigned char>(c);
        shown += (byte < 0x20 || byte == 0x7f) ? '?' : c;
    }
    if (text.size() > kQuotedLimit) shown += "...";
    return "'" + shown + "'";
}

[[noreturn]] void refuse(const char* item, std::string_view text, const std::string& requirement) {
    throw CommandLineError(std::string("bad ") + item + " " + quoted(text) + ": " + requirement);
}

// Python's str() of an int: optional '-', decimal digits, nothing else.
std::int64_t parse_integer(std::string_view text, const char* item, const char* requirement) {
    std::int64_t value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) refuse(item, text, requirement);
    return value;
}

std::int64_t parse_pts(std::string_view text, const char* item) {
    return parse_integer(text, item, "must be an integer in the 64-bit range");
}

std::int64_t parse_positive(std::string_view text, const char* item, std::int64_t limit) {
    const std::int64_t value = parse_integer(text, item, "must be a positive integer");
    if (value <= 0) refuse(item, text, "must be a positive integer");
    if (value > limit) {
        refuse(item, text, "must be a positive integer no larger than " + std::to_string(limit));
    }
    return value;
}

int parse_positive_int(std::string_view text, const char* item) {
    return static_cast<int>(parse_positive(text, item, kIntMax));
}

std::string parse_name(std::string_view text, const char* item) {
    if (text.empty()) refuse(item, text, "must not be empty");
    return std::string(text);
}

std::string parse_interpolation(std::string_view text) {
    if (!is_interpolation_name(text)) {
        refuse("interpolation", text, "must be one of " + listed_interpolation_names(", "));
    }
    return std::string(text);
}

std::vector<std::uint8_t> decode_item(std::string_view text, const char* item) {
    try {
        if (is_inherited_text_reference(text)) return decode_base64(read_inherited_text(text));
        return decode_base64(text);
    } catch (const CommandLineError& error) {
        throw CommandLineError(std::string("bad ") + item + ": " + error.what());
    }
}

// Whichever of argv's items a program reads, after the count and the pointers are checked.
class Items {
  public:
    Items(int argc, const char* const* argv) : argv_(argv) {
        if (argc != kWorkerArgc || argv == nullptr) {
            throw CommandLineError("wrong number of arguments: expected " +
                                   std::to_string(kWorkerArgc - 1) +
                                   " after the program name, got " + std::to_string(argc - 1));
        }
        for (int i = 0; i < argc; ++i) {
            if (argv[i] == nullptr) {
                throw CommandLineError("argument " + std::to_string(i) + " is missing");
            }
        }
    }

    std::string_view operator[](int index) const { return argv_[index]; }

  private:
    const char* const* argv_;
};

void check_worker_number(std::string_view text, const char* count_name, WorkerJob& job) {
    const std::int64_t worker = parse_integer(text, "worker number", "must be an integer");
    if (worker < 0 || worker >= job.num_workers) {
        refuse("worker number", text,
               "must be in [0, " + std::to_string(job.num_workers) + ") (the " + count_name + ")");
    }
    job.worker = static_cast<int>(worker);
}

void check_interval(const PtsInterval& interval, const std::string& which) {
    if (interval.start > interval.end) {
        throw CommandLineError("bad " + which + ": start pts " + std::to_string(interval.start) +
                               " is after end pts " + std::to_string(interval.end));
    }
}

// Rows must be exactly 0..R-1 once each and frame indices distinct and inside the video,
// so that every row of the block belongs to one frame and no write leaves the block.
void check_rows(WorkerJob& job) {
    if (job.rows.empty()) throw CommandLineError("bad row map: it has no entries");
    const auto row_count = static_cast<std::int64_t>(job.rows.size());
    std::vector<bool> row_taken(job.rows.size(), false);
    for (const RowAssignment& assignment : job.rows) {
        const std::string frame = "frame index " + std::to_string(assignment.frame_index);
        if (assignment.frame_index < 0 || assignment.frame_index >= job.num_frames) {
            throw CommandLineError("bad row map: " + frame + " is outside [0, " +
                                   std::to_string(job.num_frames) + ") (num_frames)");
        }
        if (assignment.row < 0 || assignment.row >= row_count) {
            throw CommandLineError("bad row map: row " + std::to_string(assignment.row) + " of " +
                                   frame + " is outside [0, " + std::to_string(row_count) +
                                   ") (the number of entries)");
        }
        if (row_taken[static_cast<std::size_t>(assignment.row)]) {
            throw CommandLineError("bad row map: row " + std::to_string(assignment.row) +
                                   " is given to more than one frame index");
        }
        row_taken[static_cast<std::size_t>(assignment.row)] = true;
    }
    std::vector<std::int64_t> frames;
    frames.reserve(job.rows.size());
    for (const RowAssignment& assignment : job.rows) frames.push_back(assignment.frame_index);
    std::sort(frames.begin(), frames.end());
    const auto repeat = std::adjacent_find(frames.begin(), frames.end());
    if (repeat != frames.end()) {
        throw CommandLineError("bad row map: frame index " + std::to_string(*repeat) +
                               " appears more than once");
    }
    job.row_count = row_count;

    // The frames block holds R rows of 3 planes of height x width bytes.
    std::size_t block_size = job.rows.size();
    for (const std::size_t factor : {std::size_t{3}, static_cast<std::size_t>(job.height),
                                     static_cast<std::size_t>(job.width)}) {
        if (__builtin_mul_overflow(block_size, factor, &block_size)) {
            throw CommandLineError("bad frame size: " + std::to_string(row_count) +
                                   " rows of 3 x " + std::to_string(job.height) + " x " +
                                   std::to_string(job.width) + " bytes overflow the address space");
        }
    }
}

void check_record(const WorkerJob& job) {
    if (job.start_pts > job.end_pts) {
        throw CommandLineError("bad record: start pts " + std::to_string(job.start_pts) +
                               " is after end pts " + std::to_string(job.end_pts));
    }
}

// Both command lines start alike: the video, the frames block, the row map.
WorkerJob parse_leading_items(const Items& items) {
    static_assert(int{one_shot_item::video_path} == int{interleaved_item::video_path} &&
                  int{one_shot_item::frames_block} == int{interleaved_item::frames_block} &&
                  int{one_shot_item::rows} == int{interleaved_item::rows});
    WorkerJob job;
    job.video_path = parse_name(items[one_shot_item::video_path], "video path");
    job.frames_block = parse_name(items[one_shot_item::frames_block], "frames block name");
    job.rows = read_row_map_pickle(decode_item(items[one_shot_item::rows], "encoded row map"));
    return job;
}

// The load's items, which both command lines carry in the same order (`Place` is the
// program's places: one_shot_item or interleaved_item).
template <typename Place>
void parse_load_items(const Items& items, const char* workers_name, WorkerJob& job) {
    job.height = parse_positive_int(items[Place::height], "height");
    job.width = parse_positive_int(items[Place::width], "width");
    job.num_frames = parse_positive(items[Place::num_frames], "num_frames",
                                    std::numeric_limits<std::int64_t>::max());
    job.num_workers = parse_positive_int(items[Place::workers], workers_name);
    check_worker_number(items[Place::worker], workers_name, job);
    job.start_pts = parse_pts(items[Place::record_start], "record start pts");
    job.end_pts = parse_pts(items[Place::record_end], "record end pts");
    job.interpolation = parse_interpolation(items[Place::interpolation]);
}

}  // namespace

std::vector<std::string> one_shot_command_line(const OneShotItems<std::string>& items) {
    const auto line = one_shot_command_line(std::string(names::kOneShotProgram), items);
    return {line.begin(), line.end()};
}

std::vector<std::string> interleaved_command_line(const InterleavedItems<std::string>& items) {
    const auto line = interleaved_command_line(std::string(names::kInterleavedProgram), items);
    return {line.begin(), line.end()};
}

WorkerJob parse_one_shot_command_line(int argc, const char* const* argv) {
    const Items items(argc, argv);
    WorkerJob job = parse_leading_items(items);
    PtsInterval interval;
    interval.start = parse_pts(items[one_shot_item::interval_start], "interval start pts");
    interval.end = parse_pts(items[one_shot_item::interval_end], "interval end pts");
    parse_load_items<one_shot_item>(items, "number of workers", job);

    check_interval(interval, "interval");
    check_record(job);
    check_rows(job);
    job.intervals = {interval};
    return job;
}

WorkerJob parse_interleaved_command_line(int argc, const char* const* argv) {
    const Items items(argc, argv);
    WorkerJob job = parse_leading_items(items);
    auto shares =
        read_share_list_pickle(decode_item(items[interleaved_item::shares], "encoded share list"));
    parse_load_items<interleaved_item>(items, "number of shares", job);
    job.check_block = parse_name(items[interleaved_item::check_block], "check block name");

    if (shares.size() != static_cast<std::size_t>(job.num_workers)) {
        throw CommandLineError("bad share list: it has " + std::to_string(shares.size()) +
                               " shares but the number of shares is " +
                               std::to_string(job.num_workers));
    }
    for (std::size_t share = 0; share < shares.size(); ++share) {
        for (std::size_t i = 0; i < shares[share].size(); ++i) {
            check_interval(shares[share][i], "share list: interval " + std::to_string(i) +
                                                 " of share " + std::to_string(share));
        }
    }
    check_record(job);
    check_rows(job);
    job.intervals = std::move(shares[static_cast<std::size_t>(job.worker)]);
    return job;
}

}  // namespace lorvex
