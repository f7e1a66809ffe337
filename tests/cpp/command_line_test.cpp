#include "lorvex/protocol/command_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "cpython_pickles.hpp"
#include "lorvex/protocol/interpolation_names.hpp"
#include "refusal.hpp"

namespace lorvex {
namespace {

using lorvex::testing::refuses;

// The encoded row maps and share lists, as the loaders write them (cpython_pickles.hpp), and
// one that no dict pickles to: 3 -> 0, then 3 -> 1 in the same SETITEMS.
constexpr const char* kFrameTwice = "gAWVDQAAAAAAAAB9lChLA0sASwNLAXUu";
const std::string& pickled(const std::string& name) {
    static const auto pickles = lorvex::testing::cpython_pickles({
        {"rows", "{3: 0, 7: 1, 10: 2}"},
        {"no_rows", "{}"},
        {"row_outside", "{3: 0, 7: 2}"},
        {"row_twice", "{3: 0, 7: 0}"},
        {"negative_frame", "{-1: 0}"},
        {"negative_row", "{3: -1}"},
        {"float_row", "{1: 2.5}"},
        {"shares", "[[(0, 100, 3)], [], [(100, 250, 1), (250, 400, 2)]]"},
        {"backward_shares", "[[(0, 100, 3)], [(400, 250, 1)]]"},
    });
    return pickles.at(name);
}

class CommandLine {
  public:
    explicit CommandLine(std::vector<std::string> items) : items_(std::move(items)) {}

    CommandLine with(std::size_t index, std::string value) const {
        CommandLine changed = *this;
        changed.items_.at(index) = std::move(value);
        return changed;
    }
    CommandLine without_last() const {
        CommandLine changed = *this;
        changed.items_.pop_back();
        return changed;
    }
    CommandLine with_extra() const {
        CommandLine changed = *this;
        changed.items_.push_back("extra");
        return changed;
    }

    WorkerJob one_shot() const { return run(parse_one_shot_command_line); }
    WorkerJob interleaved() const { return run(parse_interleaved_command_line); }

  private:
    template <typename Parse>
    WorkerJob run(Parse parse) const {
        std::vector<const char*> argv;
        for (const auto& item : items_) argv.push_back(item.c_str());
        argv.push_back(nullptr);
        return parse(static_cast<int>(items_.size()), argv.data());
    }

    std::vector<std::string> items_;
};

// Lines as the loaders write them (the protocol's writer), each item then changed by its place.
const LoadItems<std::string> kLoad{.video_path = "/videos/clip.mp4",
                                   .frames_block = "psm_frames",
                                   .rows = "",  // pickled("rows"), given by each line
                                   .height = "144",
                                   .width = "256",
                                   .num_frames = "50",
                                   .worker = "1",
                                   .workers = "4",
                                   .record_start = "0",
                                   .record_end = "4900",
                                   .interpolation = "BILINEAR"};

const CommandLine& one_shot_line() {
    static const CommandLine line = [] {
        LoadItems<std::string> load = kLoad;
        load.rows = pickled("rows");
        return CommandLine(one_shot_command_line({load, "0", "1000"}));
    }();
    return line;
}

const CommandLine& interleaved_line() {
    static const CommandLine line = [] {
        LoadItems<std::string> load = kLoad;
        load.rows = pickled("rows");
        load.worker = "2";
        load.workers = "3";
        load.interpolation = "NEAREST";
        return CommandLine(interleaved_command_line({load, pickled("shares"), "psm_check"}));
    }();
    return line;
}

auto one_shot(const CommandLine& line) {
    return [line] { line.one_shot(); };
}
auto interleaved(const CommandLine& line) {
    return [line] { line.interleaved(); };
}

std::vector<std::pair<std::int64_t, std::int64_t>> pairs_of(
    const std::vector<RowAssignment>& rows) {
    std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
    for (const auto& row : rows) pairs.emplace_back(row.frame_index, row.row);
    return pairs;
}

std::vector<std::pair<std::int64_t, std::int64_t>> spans_of(
    const std::vector<PtsInterval>& intervals) {
    std::vector<std::pair<std::int64_t, std::int64_t>> spans;
    for (const auto& interval : intervals) spans.emplace_back(interval.start, interval.end);
    return spans;
}

TEST(CommandLine, OneShotJobCarriesEveryItem) {
    const WorkerJob job = one_shot_line().one_shot();
    EXPECT_EQ(job.video_path, "/videos/clip.mp4");
    EXPECT_EQ(job.frames_block, "psm_frames");
    EXPECT_FALSE(job.check_block.has_value());
    EXPECT_EQ(pairs_of(job.rows), (decltype(pairs_of(job.rows)){{3, 0}, {7, 1}, {10, 2}}));
    EXPECT_EQ(job.row_count, 3);
    EXPECT_EQ(job.height, 144);
    EXPECT_EQ(job.width, 256);
    EXPECT_EQ(job.num_frames, 50);
    EXPECT_EQ(job.worker, 1);
    EXPECT_EQ(job.num_workers, 4);
    EXPECT_EQ(job.start_pts, 0);
    EXPECT_EQ(job.end_pts, 4900);
    EXPECT_EQ(job.interpolation, "BILINEAR");
    ASSERT_EQ(job.intervals.size(), 1u);
    EXPECT_EQ(spans_of(job.intervals), (decltype(spans_of(job.intervals)){{0, 1000}}));
    EXPECT_EQ(job.intervals[0].count, 0);

    // Extremes that are still valid: negative and 64-bit pts, an empty interval and record.
    const WorkerJob edges = one_shot_line()
                                .with(one_shot_item::interval_start, "-9223372036854775808")
                                .with(one_shot_item::interval_end, "-9223372036854775808")
                                .with(one_shot_item::record_start, "9223372036854775807")
                                .with(one_shot_item::record_end, "9223372036854775807")
                                .with(one_shot_item::worker, "0")
                                .with(one_shot_item::workers, "1")
                                .one_shot();
    EXPECT_EQ(edges.intervals[0].start, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(edges.start_pts, std::numeric_limits<std::int64_t>::max());
}

TEST(CommandLine, InterleavedJobTakesItsOwnShare) {
    const WorkerJob job = interleaved_line().interleaved();
    EXPECT_EQ(job.check_block, "psm_check");
    EXPECT_EQ(job.worker, 2);
    EXPECT_EQ(job.num_workers, 3);
    EXPECT_EQ(job.interpolation, "NEAREST");
    EXPECT_EQ(job.row_count, 3);
    EXPECT_EQ(spans_of(job.intervals), (decltype(spans_of(job.intervals)){{100, 250}, {250, 400}}));
    EXPECT_EQ(job.intervals[1].count, 2);
    EXPECT_TRUE(
        interleaved_line().with(interleaved_item::worker, "1").interleaved().intervals.empty());
    EXPECT_EQ(
        interleaved_line().with(interleaved_item::worker, "0").interleaved().intervals[0].count, 3);
}

TEST(CommandLine, RefusesWrongItemCounts) {
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(one_shot_line().without_last()),
                                          "wrong number of arguments: expected 13 after the "
                                          "program name, got 12"));
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(one_shot_line().with_extra()), "got 14"));
    EXPECT_TRUE(
        refuses<CommandLineError>(interleaved(interleaved_line().without_last()), "got 12"));
    EXPECT_TRUE(
        refuses<CommandLineError>([] { parse_one_shot_command_line(0, nullptr); }, "got -1"));
    const char* holes[14] = {"lorvex"};
    EXPECT_TRUE(refuses<CommandLineError>([&] { parse_interleaved_command_line(14, holes); },
                                          "argument 1 is missing"));
}

TEST(CommandLine, NumbersArePythonDecimalIntegers) {
    for (const char* bad : {"0", "-5", "+5", " 5", "5 ", "5.0", "", "0x10", "1e3", "five"}) {
        EXPECT_TRUE(refuses<CommandLineError>(
            one_shot(one_shot_line().with(one_shot_item::height, bad)),
            "bad height '" + std::string(bad) + "': must be a positive integer"));
    }
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::width, "2147483648")),
        "bad width '2147483648': must be a positive integer no "
        "larger than 2147483647"));
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::num_frames, "0")), "bad num_frames '0'"));
    EXPECT_TRUE(refuses<CommandLineError>(
        interleaved(interleaved_line().with(interleaved_item::num_frames, "-50")),
        "bad num_frames '-50'"));
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::interval_start, "9223372036854775808")),
        "bad interval start pts '9223372036854775808': must be "
        "an integer in the 64-bit range"));
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::interval_end, "1000.0")),
        "bad interval end pts"));
    EXPECT_TRUE(
        refuses<CommandLineError>(one_shot(one_shot_line().with(one_shot_item::record_start, "")),
                                  "bad record start pts ''"));
    EXPECT_TRUE(refuses<CommandLineError>(
        interleaved(interleaved_line().with(interleaved_item::record_end, "end")),
        "bad record end pts 'end'"));
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::workers, "0")), "bad number of workers '0'"));
    EXPECT_TRUE(refuses<CommandLineError>(
        interleaved(interleaved_line().with(interleaved_item::workers, "-3")),
        "bad number of shares '-3'"));
}

TEST(CommandLine, WorkerNumberLiesBelowTheWorkerCount) {
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::worker, "4")),
        "bad worker number '4': must be in [0, 4) (the number of workers)"));
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::worker, "-1")), "must be in [0, 4)"));
    EXPECT_TRUE(
        refuses<CommandLineError>(one_shot(one_shot_line().with(one_shot_item::worker, "one")),
                                  "bad worker number 'one': must be an integer"));
    EXPECT_TRUE(refuses<CommandLineError>(
        interleaved(interleaved_line().with(interleaved_item::worker, "3")),
        "bad worker number '3': must be in [0, 3) (the number of shares)"));
    EXPECT_TRUE(
        refuses<CommandLineError>(interleaved(interleaved_line()
                                                  .with(interleaved_item::workers, "4")
                                                  .with(interleaved_item::worker, "3")),
                                  "bad share list: it has 3 shares but the number of shares is 4"));
}

TEST(CommandLine, NamesAndInterpolation) {
    EXPECT_TRUE(
        refuses<CommandLineError>(one_shot(one_shot_line().with(one_shot_item::video_path, "")),
                                  "bad video path '': must not be empty"));
    EXPECT_TRUE(
        refuses<CommandLineError>(one_shot(one_shot_line().with(one_shot_item::frames_block, "")),
                                  "bad frames block name ''"));
    EXPECT_TRUE(refuses<CommandLineError>(
        interleaved(interleaved_line().with(interleaved_item::check_block, "")),
        "bad check block name ''"));
    for (const char* name : {"BILINEAR", "NEAREST", "BICUBIC", "AREA", "LANCZOS"}) {
        EXPECT_EQ(one_shot_line().with(one_shot_item::interpolation, name).one_shot().interpolation,
                  name);
    }
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::interpolation, "bilinear")),
        "bad interpolation 'bilinear': must be one of BILINEAR, NEAREST, BICUBIC, AREA, LANCZOS"));
    // Messages stay on one line and short, whatever the item holds.
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::interpolation, "AREA\nLANCZOS")),
        "bad interpolation 'AREA?LANCZOS'"));
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::interpolation, std::string(5000, 'X'))),
        "'" + std::string(48, 'X') + "...': must be one of"));
    // The engine's jobs and the fronts check the same names, and list them in their message.
    for (const std::string_view name : kInterpolationNames) {
        EXPECT_NO_THROW(require_interpolation_name(std::string(name)));
    }
    EXPECT_TRUE(refuses<std::invalid_argument>([] { require_interpolation_name("BILINEAR "); },
                                               "unknown interpolation 'BILINEAR ' (expected "
                                               "BILINEAR, NEAREST, BICUBIC, AREA or LANCZOS)"));
}

TEST(CommandLine, RowMapMustNumberTheRowsOfTheBlock) {
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::rows, pickled("no_rows"))),
        "bad row map: it has no entries"));
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::rows, pickled("row_outside"))),
        "bad row map: row 2 of frame index 7 is outside [0, 2) (the number of entries)"));
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::rows, pickled("negative_row"))),
        "row -1 of frame index 3 is outside [0, 1)"));
    EXPECT_TRUE(refuses<CommandLineError>(
        interleaved(interleaved_line().with(interleaved_item::rows, pickled("row_twice"))),
        "bad row map: row 0 is given to more than one frame index"));
    EXPECT_TRUE(
        refuses<CommandLineError>(one_shot(one_shot_line().with(one_shot_item::rows, kFrameTwice)),
                                  "bad row map: frame index 3 appears more than once"));
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::rows, pickled("negative_frame"))),
        "bad row map: frame index -1 is outside [0, 50) (num_frames)"));
    EXPECT_TRUE(
        refuses<CommandLineError>(one_shot(one_shot_line().with(one_shot_item::num_frames, "10")),
                                  "frame index 10 is outside [0, 10) (num_frames)"));
    EXPECT_EQ(one_shot_line().with(one_shot_item::num_frames, "11").one_shot().num_frames, 11);
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::rows, pickled("float_row"))),
        "bad row map pickle at offset 15: BINFLOAT"));
    EXPECT_TRUE(
        refuses<CommandLineError>(one_shot(one_shot_line().with(one_shot_item::rows, "gAV9lC4")),
                                  "bad encoded row map: invalid base64: length 7"));
    EXPECT_TRUE(refuses<CommandLineError>(
        interleaved(interleaved_line().with(interleaved_item::shares, "gAV9lC4=")),
        "bad share list pickle at offset 2: EMPTY_DICT"));
    EXPECT_TRUE(refuses<CommandLineError>(
        interleaved(interleaved_line().with(interleaved_item::shares, "gAV9lC4*")),
        "bad encoded share list: invalid base64: '*'"));
}

TEST(CommandLine, RefusesBackwardRangesAndOversizedBlocks) {
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::interval_start, "1001")),
        "bad interval: start pts 1001 is after end pts 1000"));
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line().with(one_shot_item::record_start, "4901")),
        "bad record: start pts 4901 is after end pts 4900"));
    EXPECT_TRUE(refuses<CommandLineError>(
        interleaved(interleaved_line()
                        .with(interleaved_item::shares, pickled("backward_shares"))
                        .with(interleaved_item::workers, "2")
                        .with(interleaved_item::worker, "0")),
        "bad share list: interval 0 of share 1: start pts 400 is after end pts 250"));
    // 3 rows x 3 planes x (2**31 - 1)**2 bytes is more than any address space holds.
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(one_shot_line()
                     .with(one_shot_item::height, "2147483647")
                     .with(one_shot_item::width, "2147483647")),
        "bad frame size: 3 rows of 3 x 2147483647 x 2147483647 bytes overflow"));
    EXPECT_EQ(one_shot_line()
                  .with(one_shot_item::height, "2147483647")
                  .with(one_shot_item::width, "1")
                  .one_shot()
                  .height,
              2147483647);
}

}  // namespace
}  // namespace lorvex
